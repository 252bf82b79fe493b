"""LabelMe: images, each with a LabelMe JSON of the same stem beside it.

A sample record holds "image", "keypoints" (one row per polygon) and "labels":
(label, group_id) per row, so the shapes of one group are one object. A rectangle
is read as its 4-vertex polygon; shapes kiro cannot carry (circle, line, linestrip,
point, ...) are left out of the copies and counted, as are polygons of fewer than
3 points or of zero area. Copies are written as polygons beside their image, with
the new imageWidth / imageHeight, imagePath naming the written image and imageData
null. An image without a JSON is a sample without shapes; a JSON without an image
beside it takes its image from imagePath, else from its embedded imageData.
"""

import base64
import binascii
import json
import os

from ._files import (IMAGE_EXTENSIONS, SampleError, copy_atomic, copy_name, decode_image, ensure_parent,
                     read_image, write_text_atomic)
from ..polygons import pack_polygons
from ._format import Format, check_polygon, unpack

CARRIED = ("polygon", "rectangle")
_NOT_SHAPES = ("annotations.json", "kiro_report.json")  # JSON files of the other formats and of a run
_OUTPUT_FIELDS = ("shapes", "imagePath", "imageData", "imageHeight", "imageWidth")
VERSION = "5.0.1"


def _is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


def _read_json(src, rel):
    try:
        with open(os.path.join(src, rel), "rb") as f:
            data = json.load(f)
    except (OSError, ValueError) as e:
        raise SampleError("malformed annotation", "%s: %s" % (rel, e)) from None
    if not isinstance(data, dict) or not isinstance(data.get("shapes", []), list):
        raise SampleError("malformed annotation", "%s is not a LabelMe file (no 'shapes' list)" % rel)
    return data


class Labelme(Format):
    name = "labelme"

    @classmethod
    def detect(cls, src):
        tried = 0
        for parent, dirs, files in os.walk(src):
            depth = os.path.relpath(parent, src).count(os.sep)
            dirs[:] = sorted(d for d in dirs if not d.startswith(".")) if depth < 1 else []
            for name in sorted(n for n in files if n.lower().endswith(".json") and n not in _NOT_SHAPES):
                try:
                    with open(os.path.join(parent, name), "rb") as f:
                        if isinstance(json.load(f).get("shapes"), list):
                            return True
                except (OSError, ValueError, AttributeError):
                    pass
                tried += 1
                if tried >= 3:
                    return False
        return False

    def scan(self):
        jsons, images = [], {}
        for parent, dirs, files in os.walk(self.src):
            dirs[:] = sorted(d for d in dirs if not d.startswith("."))
            for name in files:
                rel = os.path.relpath(os.path.join(parent, name), self.src).replace(os.sep, "/")
                stem, ext = os.path.splitext(rel)
                if ext.lower() == ".json" and name not in _NOT_SHAPES:
                    jsons.append(rel)
                elif ext.lower() in IMAGE_EXTENSIONS:
                    images.setdefault(stem, []).append(rel)
        refs, claimed = [], set()
        for rel in jsons:
            stem = os.path.splitext(rel)[0]
            beside = sorted(images.get(stem, []))
            ref = {"name": stem, "json": rel, "image": beside[0] if beside else None, "embedded": False}
            if len(beside) > 1:
                ref["error"] = "output name %s is also the name of %s" % (stem, beside[1])
            elif not beside:
                self._find_image(ref)
            claimed.update(beside)
            if ref["image"] != rel:
                claimed.add(ref["image"])
            refs.append(ref)
        for stem, rels in images.items():
            for rel in rels:
                if rel not in claimed:
                    refs.append({"name": stem, "json": None, "image": rel, "embedded": False})
        refs.sort(key=lambda r: (r["name"], r["image"] or ""))
        taken = {}
        for index, ref in enumerate(refs):
            ref["index"] = index
            if ref["name"] in taken and not ref.get("error"):
                ref["error"] = "output name %s is also the name of %s" % (ref["name"], taken[ref["name"]])
            taken.setdefault(ref["name"], ref["image"] or ref["json"])
        return refs, []

    def _find_image(self, ref):
        """A JSON with no image beside it: its imagePath, else its imageData."""
        try:
            data = _read_json(self.src, ref["json"])
        except SampleError as e:
            ref.update(image=ref["json"], error=e.reason)
            return
        path = data.get("imagePath")
        if isinstance(path, str) and path:
            rel = os.path.normpath(os.path.join(os.path.dirname(ref["json"]), path.replace("\\", "/")))
            if os.path.isfile(os.path.join(self.src, rel)):
                ref["image"] = rel.replace(os.sep, "/")
                return
        ref.update(image=ref["json"], embedded=True)
        if not data.get("imageData"):
            ref.update(error="%s: image %s not found and no imageData" % (ref["json"], path),
                       error_kind="unreadable image")

    def load(self, ref):
        self._error(ref)
        data = _read_json(self.src, ref["json"]) if ref["json"] else {}
        if ref["embedded"]:
            try:
                raw = base64.b64decode(data.get("imageData") or "", validate=False)
            except (binascii.Error, TypeError, ValueError) as e:
                raise SampleError("unreadable image", "%s: imageData: %s" % (ref["json"], e)) from None
            image = decode_image(raw, ref["json"] + " imageData")
        else:
            image = read_image(os.path.join(self.src, ref["image"]))
        height, width = image.shape[:2]
        stated = data.get("imageWidth"), data.get("imageHeight")
        if all(_is_int(v) for v in stated) and stated != (width, height):
            raise SampleError("size mismatch", "%s is %d x %d as displayed, its annotation says %d x %d"
                              % (ref["image"], width, height, stated[0], stated[1]))
        polygons, labels = [], []
        self.dropped = []
        for number, shape in enumerate(data.get("shapes", [])):
            if not isinstance(shape, dict):
                raise SampleError("malformed annotation", "%s shape %d is not an object" % (ref["json"], number))
            label, group, kind = shape.get("label"), shape.get("group_id"), shape.get("shape_type") or "polygon"
            what = "%s shape %d (%r)" % (ref["json"], number, label)
            if not isinstance(label, str) or not (group is None or _is_int(group)):
                raise SampleError("malformed annotation", "%s: label must be text and group_id a number" % what)
            if kind not in CARRIED:
                self.dropped.append("%s: a %s shape is not carried" % (what, kind))
                continue
            points = shape.get("points")
            if not isinstance(points, list) or not all(isinstance(p, list) and len(p) == 2 for p in points):
                raise SampleError("malformed annotation", "%s: points are not [x, y] pairs" % what)
            if kind == "rectangle":
                if len(points) != 2:
                    raise SampleError("malformed annotation",
                                      "%s: a rectangle has 2 points, not %d" % (what, len(points)))
                (x0, y0), (x1, y1) = points
                points = [[x0, y0], [x1, y0], [x1, y1], [x0, y1]]
            polygon, flaw = check_polygon([v for p in points for v in p], width, height, what, drop=True)
            if flaw:
                self.dropped.append(flaw)
                continue
            polygons.append(polygon)
            labels.append((label, group))
        return {"image": image, "keypoints": pack_polygons(polygons), "labels": labels}

    def donor(self, record, load):
        """A donor's groups are its own: pasted shapes never join a group of the copy."""
        record["labels"] = [(label, None if group is None else ("donor", load, group))
                            for label, group in record["labels"]]
        return record

    def _paths(self, dst, ref, copy, ext):
        """(image, JSON) written for an output; None where the output has none."""
        if copy is not None:
            name = copy_name(ref["name"], copy)
            return os.path.join(dst, name + ext), os.path.join(dst, name + ".json")
        image = None if ref["embedded"] else os.path.join(dst, ref["name"] + os.path.splitext(ref["image"])[1])
        return image, None if ref["json"] is None else os.path.join(dst, ref["name"] + ".json")

    def write(self, dst, ref, record, copy, ext, quality):
        image_path, json_path = self._paths(dst, ref, copy, ext)
        self._write_image(image_path, record["image"], ext, quality)
        height, width = record["image"].shape[:2]
        polygons, labels = unpack(record)
        pairs = [tuple(label) if isinstance(label, (tuple, list)) and len(label) == 2 else (label, None)
                 for label in labels]
        next_id = max([g for _, g in pairs if _is_int(g)] + [0]) + 1
        fresh, shapes = {}, []
        for polygon, (label, group) in zip(polygons, pairs):
            if group is not None and not _is_int(group):  # a donor's group: a new id in this file
                if group not in fresh:
                    fresh[group] = next_id
                    next_id += 1
                group = fresh[group]
            shapes.append({"label": str(label), "points": [[float(x), float(y)] for x, y in polygon],
                           "group_id": group, "description": "", "shape_type": "polygon", "flags": {}})
        source = _read_json(self.src, ref["json"]) if ref["json"] else {}
        doc = {"version": source.get("version", VERSION), "flags": source.get("flags", {})}
        doc.update((k, v) for k, v in source.items() if k not in _OUTPUT_FIELDS)
        doc.update(shapes=shapes, imagePath=os.path.basename(image_path), imageData=None, imageHeight=height,
                   imageWidth=width)
        write_text_atomic(json_path, json.dumps(doc, indent=2))

    def write_original(self, dst, ref, record):
        image_path, json_path = self._paths(dst, ref, None, None)
        if image_path is not None:
            ensure_parent(image_path)
            copy_atomic(os.path.join(self.src, ref["image"]), image_path)
        if json_path is not None:
            ensure_parent(json_path)
            doc = _read_json(self.src, ref["json"])
            if image_path is not None:
                doc["imagePath"] = os.path.basename(image_path)
            write_text_atomic(json_path, json.dumps(doc, indent=2))

    def done(self, dst, ref, copy, ext):
        return all(p is None or os.path.isfile(p) for p in self._paths(dst, ref, copy, ext))
