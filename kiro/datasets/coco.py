"""COCO instance segmentation: one JSON file and an image folder.

A sample record holds "image", "keypoints" (one row per polygon, packed with
kiro.pack_polygons) and "labels": one (category_id, instance) pair per row,
the instance being the annotation's id (ids are unique within a file; an
annotation without an id, or with one that the file repeats, gets
("annotation", image position, annotation position) instead). Rows with
equal labels are one object: the polygons of one annotation are written back
as one annotation, with new ids. A written object whose instance is not
among the image's own annotations (pasted from a donor: `kiro multiply`
gives each donor load instances of its own, so a copy of an image's own
object stays apart from it) gets iscrowd 0 and none of the source's extra
fields; one whose label names no category (traced from a donor's crowd
mask) is kept only in "mask". A polygon of fewer than 3 points or of zero area
is left out. An RLE annotation with iscrowd 0 is an object like the others, its
rows the outer outlines of its pixels (holes are not kept). Crowd (iscrowd 1 RLE)
annotations become "mask": the category id of every pixel, 0 for background;
they are written back as one RLE annotation per category, without the pixels
under objects from other images.
"""

import json
import os
import shutil
import warnings

import numpy as np

from ._files import (TEMP_SUFFIX, SampleError, copy_atomic, copy_name, ensure_parent, read_image, sync_folder,
                     write_text_atomic)
from ..polygons import pack_polygons
from ._format import Format, check_polygon, unpack
from ._trace import outer_polygons

ANNOTATIONS = "annotations.json"
PARTS = os.path.join(".kiro", "parts")
# Fields of an image entry that describe the source file, not a written copy.
_IMAGE_FIELDS = ("id", "file_name", "width", "height", "coco_url", "flickr_url")
_ANNOTATION_FIELDS = ("id", "image_id", "segmentation", "area", "bbox", "category_id", "iscrowd")


def _mask_utils():
    from pycocotools import mask

    return mask


def _usable_id(value):
    return isinstance(value, (int, str)) and not isinstance(value, bool)


def _instances(ref):
    """The instance of each of the image's annotations: its id, else its place in the file."""
    ids = ref.get("ids") or [None] * len(ref["annotations"])
    return [i if i is not None else ("annotation", ref["index"], k) for k, i in enumerate(ids)]


def _grown(region):
    """`region` and its 8 neighbours: the operations fill a polygon's boundary pixels, pycocotools does not."""
    out = region.copy()
    out[1:] |= region[:-1]
    out[:-1] |= region[1:]
    grown = out.copy()
    grown[:, 1:] |= out[:, :-1]
    grown[:, :-1] |= out[:, 1:]
    return grown


def _check_size(ref, width, height):
    """The image as displayed must have the size its entry states (labels lie in that frame)."""
    stated = ref["entry"].get("width"), ref["entry"].get("height")
    if all(isinstance(v, int) and not isinstance(v, bool) for v in stated) and stated != (width, height):
        raise SampleError("size mismatch", "%s is %d x %d as displayed, its annotation says %d x %d"
                          % (ref["image"], width, height, stated[0], stated[1]))


def _is_label(label):
    return isinstance(label, (tuple, list)) and len(label) == 2 and label[0] is not None


class Coco(Format):
    name = "coco"

    @classmethod
    def detect(cls, src):
        return os.path.isfile(os.path.join(src, ANNOTATIONS))

    def _annotation_path(self):
        return os.path.abspath(self.annotations) if self.annotations else os.path.join(self.src, ANNOTATIONS)

    def annotation_output(self, dst):
        """Where DST's annotation file goes: SRC's relative place, else its name at DST's top."""
        path = self._annotation_path()
        rel = os.path.relpath(path, self.src)
        if rel.startswith(os.pardir):
            rel = os.path.basename(path)
        return os.path.join(dst, rel)

    def scan(self):
        path = self._annotation_path()
        try:
            with open(path, "rb") as f:
                data = json.load(f)
        except (OSError, ValueError) as e:
            raise ValueError("cannot read the annotation file %s: %s" % (path, e)) from None
        if not isinstance(data, dict) or not isinstance(data.get("images"), list):
            raise ValueError("%s is not a COCO annotation file (no 'images' list)" % path)
        self.meta = {k: v for k, v in data.items() if k not in ("images", "annotations")}
        categories = {c.get("id") for c in data.get("categories", []) if isinstance(c, dict)}
        by_image, problems, seen = {}, [], {}
        image_ids = {img.get("id") for img in data["images"] if isinstance(img, dict)}
        for ann in data.get("annotations", []):
            if not isinstance(ann, dict) or ann.get("image_id") not in image_ids:
                problems.append((os.path.basename(path), "annotation %r names no image of the file"
                                 % (ann.get("id") if isinstance(ann, dict) else ann)))
                continue
            by_image.setdefault(ann["image_id"], []).append(ann)
            if _usable_id(ann.get("id")):
                seen[ann["id"]] = seen.get(ann["id"], 0) + 1
        refs, taken = [], {}
        for index, entry in enumerate(data["images"]):
            ref = {"index": index, "name": str(index), "image": None}
            refs.append(ref)
            if not isinstance(entry, dict) or not isinstance(entry.get("file_name"), str):
                ref.update(error="image entry %d has no file_name" % index)
                continue
            name = entry["file_name"]
            ref["name"] = os.path.splitext(name)[0]
            if os.path.isfile(os.path.join(self.src, "images", name)):
                base = "images"
            elif os.path.isfile(os.path.join(self.src, name)):
                base = ""
            else:
                ref.update(error="image file %s not found under images/ or SRC" % name, error_kind="unreadable image")
                continue
            anns = by_image.get(entry.get("id"), [])
            ref.update(image=os.path.join(base, name), base=base, entry=entry, annotations=anns,
                       ids=[a["id"] if _usable_id(a.get("id")) and seen[a["id"]] == 1 else None for a in anns])
            unknown = [a.get("category_id") for a in anns if a.get("category_id") not in categories]
            if unknown:
                ref["error"] = "unknown category %r" % (unknown[0],)
            key = os.path.join(base, ref["name"])
            if key in taken:
                ref["error"] = "output name %s is also the name of %s" % (ref["name"], taken[key])
            taken.setdefault(key, name)
        return refs, problems

    def load(self, ref):
        self._error(ref)
        image = read_image(os.path.join(self.src, ref["image"]))
        height, width = image.shape[:2]
        _check_size(ref, width, height)
        polygons, labels, mask = [], [], None
        self.dropped = []
        for instance, ann in zip(_instances(ref), ref["annotations"]):
            what = "annotation %r" % (ann.get("id"),)
            seg, category = ann.get("segmentation"), ann.get("category_id")
            if isinstance(seg, list) and seg:
                for poly in seg:
                    polygon, flaw = check_polygon(poly, width, height, what, drop=True)
                    if flaw:
                        self.dropped.append(flaw)
                        continue
                    polygons.append(polygon)
                    labels.append((category, instance))
            elif isinstance(seg, dict) and not ann.get("iscrowd"):
                # An RLE instance: its outlines, an object like the polygon ones.
                traced = outer_polygons(self._decode_rle(seg, height, width, what))
                if not traced:
                    self.dropped.append("%s: empty mask" % what)
                polygons.extend(traced)
                labels.extend([(category, instance)] * len(traced))
            elif isinstance(seg, dict):
                pixels = self._decode_rle(seg, height, width, what)
                if not isinstance(category, int) or isinstance(category, bool) or not 0 < category < 65536:
                    raise SampleError("malformed annotation", "%s: category %r cannot be a mask class" % (what, category))
                if mask is None:
                    mask = np.zeros((height, width), np.uint8)
                if category > 255 and mask.dtype == np.uint8:
                    mask = mask.astype(np.uint16)
                mask[pixels] = category
            else:
                raise SampleError("malformed annotation", "%s has no segmentation" % what)
        record = {"image": image, "keypoints": pack_polygons(polygons), "labels": labels}
        if mask is not None:
            record["mask"] = mask
        return record

    @staticmethod
    def _decode_rle(seg, height, width, what):
        mask_utils = _mask_utils()
        size, counts = seg.get("size"), seg.get("counts")
        if list(size or ()) != [height, width]:
            raise SampleError("malformed annotation", "%s: RLE size %r is not the image's %r" % (what, size, [height, width]))
        try:
            if isinstance(counts, list):
                if sum(counts) != height * width:
                    raise ValueError("counts do not cover the image")
                rle = mask_utils.frPyObjects(seg, height, width)
            elif isinstance(counts, str):
                rle = {"size": [height, width], "counts": counts.encode("ascii")}
            else:
                raise ValueError("no counts")
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)  # pycocotools on NumPy 2
                return mask_utils.decode(rle).astype(bool)
        except Exception as e:  # pycocotools raises several kinds on bad counts
            raise SampleError("malformed annotation", "%s: bad RLE (%s)" % (what, e)) from None

    def donor(self, record, load):
        """A record loaded as donor number `load` of a copy: its instances are not the image's own,
        so objects pasted from the image onto itself, or from one image twice, stay apart."""
        record["labels"] = [(category, ("donor", load, instance)) for category, instance in record["labels"]]
        return record

    def write(self, dst, ref, record, copy, ext, quality):
        path = self._image_path(dst, ref, copy, ext, ref["base"])
        self._write_image(path, record["image"], ext, quality)
        height, width = record["image"].shape[:2]
        annotations = []
        polygons, labels = unpack(record)
        groups = {}
        for polygon, label in zip(polygons, labels):
            if _is_label(label):
                groups.setdefault(tuple(label), []).append(polygon)
        own = dict(zip(_instances(ref), ref["annotations"]))
        mask_utils = _mask_utils()
        foreign = {}  # category -> rasters of objects from other images
        for (category, instance), polys in groups.items():
            source = own.get(instance)
            segmentation = [np.asarray(p).reshape(-1).tolist() for p in polys]
            rle = mask_utils.merge(mask_utils.frPyObjects([[float(v) for v in s] for s in segmentation], height, width))
            points = np.concatenate([np.asarray(p, np.float64) for p in polys])
            x0, y0 = points.min(axis=0)
            x1, y1 = points.max(axis=0)
            ann = {"category_id": category, "segmentation": segmentation, "area": float(mask_utils.area(rle)),
                   "bbox": [float(x0), float(y0), float(x1 - x0), float(y1 - y0)],
                   "iscrowd": 0 if source is None else source.get("iscrowd", 0)}
            if source is None:
                foreign.setdefault(category, []).append(rle)
            else:
                ann.update((k, v) for k, v in source.items() if k not in _ANNOTATION_FIELDS)
            annotations.append(ann)
        mask = record.get("mask")
        if mask is not None:
            for category in np.unique(mask):
                if category == 0:
                    continue
                region = mask == category
                if category.item() in foreign:
                    # A pasted object marked the mask with its category; that is no crowd.
                    region &= ~_grown(mask_utils.decode(mask_utils.merge(foreign[category.item()])).astype(bool))
                    if not region.any():
                        continue
                rle = mask_utils.encode(np.asfortranarray(region.astype(np.uint8)))
                annotations.append({"category_id": int(category),
                                    "segmentation": {"size": [height, width], "counts": rle["counts"].decode("ascii")},
                                    "area": float(mask_utils.area(rle)),
                                    "bbox": [float(v) for v in mask_utils.toBbox(rle)], "iscrowd": 1})
        file_name = os.path.relpath(path, os.path.join(dst, ref["base"])).replace(os.sep, "/")
        entry = {k: v for k, v in ref["entry"].items() if k not in _IMAGE_FIELDS}
        entry.update(file_name=file_name, width=width, height=height)
        return self._save_piece(dst, ref, copy, ext, {"image": entry, "annotations": annotations})

    def write_original(self, dst, ref, record):
        path = self._image_path(dst, ref, None, None, ref["base"])
        ensure_parent(path)
        copy_atomic(os.path.join(self.src, ref["image"]), path)
        entry = {k: v for k, v in ref["entry"].items() if k not in ("id", "width", "height")}
        entry.update(width=record["image"].shape[1], height=record["image"].shape[0])
        annotations = [{k: v for k, v in a.items() if k not in ("id", "image_id")} for a in ref["annotations"]]
        return self._save_piece(dst, ref, None, None, {"image": entry, "annotations": annotations})

    def _part_path(self, dst, ref, copy, ext):
        name = ref["name"] + ".orig" if copy is None else copy_name(ref["name"], copy) + ext
        return os.path.join(dst, PARTS, ref["base"] or ".", name + ".json")

    def _save_piece(self, dst, ref, copy, ext, piece):
        # Kept until the annotation file is written, so an interrupted run can resume.
        part = self._part_path(dst, ref, copy, ext)
        ensure_parent(part)
        write_text_atomic(part, json.dumps(piece))
        return True

    def files(self, dst, ref, copy, ext):
        return [self._image_path(dst, ref, copy, ext, ref["base"])]

    def done(self, dst, ref, copy, ext):
        part = self._part_path(dst, ref, copy, ext)
        if not (os.path.isfile(part) and os.path.isfile(self._image_path(dst, ref, copy, ext, ref["base"]))):
            return None
        try:  # a part cut by a crash is redone
            with open(part, "rb") as f:
                json.load(f)
        except ValueError:
            return None
        return True

    def prepare(self, dst, resume):
        # A finished DST keeps no parts: rebuild them from its annotation file.
        out = self.annotation_output(dst)
        if not resume or not os.path.isfile(out) or os.path.isdir(os.path.join(dst, PARTS)):
            return
        with open(out, "rb") as f:
            data = json.load(f)
        by_image = {}
        for ann in data.get("annotations", []):
            by_image.setdefault(ann.get("image_id"), []).append(ann)
        self._restored = {}
        for entry in data.get("images", []):
            anns = [{k: v for k, v in a.items() if k not in ("id", "image_id")} for a in by_image.get(entry["id"], [])]
            self._restored[entry["file_name"]] = {"image": {k: v for k, v in entry.items() if k != "id"},
                                                  "annotations": anns}

    def restore(self, dst, ref, copy, ext):
        """After `prepare` on a finished DST: write back the part of an output that is there."""
        restored = getattr(self, "_restored", None)
        if not restored:
            return
        path = self._image_path(dst, ref, copy, ext, ref["base"])
        name = os.path.relpath(path, os.path.join(dst, ref["base"])).replace(os.sep, "/")
        if name in restored and os.path.isfile(path):
            self._save_piece(dst, ref, copy, ext, restored[name])

    def finish(self, dst, outputs):
        # Streamed from the parts: images go straight out, annotations through a spill file.
        out = self.annotation_output(dst)
        ensure_parent(out)
        tmp, spill = "%s.%d%s" % (out, os.getpid(), TEMP_SUFFIX), "%s.%d.ann%s" % (out, os.getpid(), TEMP_SUFFIX)
        compact = (",", ":")
        head = json.dumps(self.meta, separators=compact)[:-1] + ("," if self.meta else "")
        try:
            with open(tmp, "w", encoding="utf-8") as f, open(spill, "w+", encoding="utf-8") as g:
                f.write(head + '"images":[')
                image_id = ann_id = 0
                for ref, copy, ext in outputs:
                    with open(self._part_path(dst, ref, copy, ext), "rb") as p:
                        piece = json.load(p)
                    image_id += 1
                    f.write(("," if image_id > 1 else "") + json.dumps(dict(id=image_id, **piece["image"]),
                                                                       separators=compact))
                    for ann in piece["annotations"]:
                        ann_id += 1
                        g.write(("," if ann_id > 1 else "") + json.dumps(
                            dict(id=ann_id, image_id=image_id, **ann), separators=compact))
                f.write('],"annotations":[')
                g.seek(0)
                shutil.copyfileobj(g, f, 1 << 20)
                f.write("]}")
                f.flush()
                os.fsync(f.fileno())
            os.replace(tmp, out)
        finally:
            for name in (tmp, spill):
                if os.path.exists(name):
                    os.remove(name)
        sync_folder(os.path.dirname(out))
        shutil.rmtree(os.path.join(dst, ".kiro"), ignore_errors=True)
