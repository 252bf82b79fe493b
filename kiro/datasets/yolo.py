"""YOLO segmentation: images/ and labels/ with one `class x1 y1 x2 y2 ...` line per
polygon, coordinates normalised to 0..1; a `class cx cy w h` line is a box, read
as its 4-vertex polygon. A line of fewer than 3 points or of zero area is left out.

A sample record holds "image", "keypoints" (pixel coordinates, one row per
polygon) and "labels" (the class of every row). The class names, when SRC has
them (data.yaml or classes.txt), are copied to DST and bound the class ids.
"""

import os

import numpy as np

from ._files import SampleError, copy_atomic, copy_name, ensure_parent, list_images, read_image, write_text_atomic
from ..polygons import pack_polygons
from ._format import Format, check_polygon, unpack

NAME_FILES = ("data.yaml", "classes.txt")


def read_class_names(src):
    """Class names from data.yaml ('names': list or id -> name) or classes.txt, else None."""
    path = os.path.join(src, "data.yaml")
    if os.path.isfile(path):
        import yaml

        with open(path, "rb") as f:
            names = (yaml.safe_load(f) or {}).get("names")
        if isinstance(names, dict):
            return {int(k): str(v) for k, v in names.items()}
        if isinstance(names, list):
            return dict(enumerate(map(str, names)))
    path = os.path.join(src, "classes.txt")
    if os.path.isfile(path):
        with open(path, encoding="utf-8") as f:
            return dict(enumerate(line.strip() for line in f if line.strip()))
    return None


class Yolo(Format):
    name = "yolo"
    label_folder = "labels"

    @classmethod
    def detect(cls, src):
        return os.path.isdir(os.path.join(src, "images")) and os.path.isdir(os.path.join(src, cls.label_folder))

    def scan(self):
        folder = os.path.join(self.src, "images")
        if not os.path.isdir(folder):
            raise ValueError("%s has no images/ folder" % self.src)
        self.meta = read_class_names(self.src)
        refs, taken = [], {}
        for index, rel in enumerate(list_images(folder)):
            stem = os.path.splitext(rel)[0]
            ref = {"index": index, "name": stem, "image": "images/" + rel}
            ref.update(self._annotation_ref(stem))
            if stem in taken:
                ref["error"] = "output name %s is also the name of %s" % (stem, taken[stem])
            taken.setdefault(stem, rel)
            refs.append(ref)
        return refs, []

    def _annotation_ref(self, stem):
        label = "labels/%s.txt" % stem
        return {"label": label if os.path.isfile(os.path.join(self.src, label)) else None,
                "classes": None if self.meta is None else sorted(self.meta)}

    def load(self, ref):
        self._error(ref)
        image = read_image(os.path.join(self.src, ref["image"]))
        height, width = image.shape[:2]
        polygons, labels = [], []
        self.dropped = []
        if ref["label"]:
            with open(os.path.join(self.src, ref["label"]), encoding="utf-8") as f:
                lines = f.read().splitlines()
            known = None if ref["classes"] is None else set(ref["classes"])
            for number, line in enumerate(lines, 1):
                tokens = line.split()
                if not tokens:
                    continue
                what = "%s line %d" % (ref["label"], number)
                try:
                    cls = float(tokens[0])
                except ValueError:
                    cls = -1.0
                if cls != int(cls) or cls < 0 or (known is not None and int(cls) not in known):
                    raise SampleError("malformed annotation", "%s: unknown class %s" % (what, tokens[0]))
                try:
                    coords = [float(t) for t in tokens[1:]]
                except ValueError:
                    raise SampleError("malformed annotation", "%s: coordinates are not numbers" % what) from None
                if len(coords) == 4:  # a box: cx cy w h
                    cx, cy, w, h = coords
                    coords = [cx - w / 2, cy - h / 2, cx + w / 2, cy - h / 2, cx + w / 2, cy + h / 2,
                              cx - w / 2, cy + h / 2]
                # Normalised coordinates are checked against a 1 x 1 image.
                polygon, flaw = check_polygon(coords, 1.0, 1.0, what, drop=True)
                if flaw:
                    self.dropped.append(flaw)
                    continue
                polygons.append(polygon * np.array([width, height], np.float64))
                labels.append(int(cls))
        return {"image": image, "keypoints": pack_polygons(polygons), "labels": labels}

    def _label_path(self, dst, ref, copy, ext=".txt"):
        name = ref["name"] if copy is None else copy_name(ref["name"], copy)
        return os.path.join(dst, self.label_folder, name + ext)

    def write(self, dst, ref, record, copy, ext, quality):
        self._write_image(self._image_path(dst, ref, copy, ext), record["image"], ext, quality)
        height, width = record["image"].shape[:2]
        scale = np.array([width, height], np.float64)
        lines = []
        for polygon, label in zip(*unpack(record)):
            coords = (np.asarray(polygon, np.float64) / scale).reshape(-1)
            lines.append("%d %s\n" % (int(label), " ".join("%.6f" % v for v in coords)))
        path = self._label_path(dst, ref, copy)
        ensure_parent(path)
        write_text_atomic(path, "".join(lines))

    def write_original(self, dst, ref, record):
        path = self._image_path(dst, ref, None, None)
        ensure_parent(path)
        copy_atomic(os.path.join(self.src, ref["image"]), path)
        label = self._label_path(dst, ref, None)
        ensure_parent(label)
        if ref["label"]:
            copy_atomic(os.path.join(self.src, ref["label"]), label)
        else:
            write_text_atomic(label, "")

    def files(self, dst, ref, copy, ext):
        return [self._image_path(dst, ref, copy, ext), self._label_path(dst, ref, copy)]

    def done(self, dst, ref, copy, ext):
        return os.path.isfile(self._label_path(dst, ref, copy)) and os.path.isfile(self._image_path(dst, ref, copy, ext))

    def prepare(self, dst, resume):
        for name in NAME_FILES:
            if os.path.isfile(os.path.join(self.src, name)):
                copy_atomic(os.path.join(self.src, name), os.path.join(dst, name))
