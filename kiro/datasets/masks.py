"""Semantic masks: images/ and masks/ (PNG class values, the same stems).

A sample record holds "image" and "mask" (no keypoints, so no labels:
objects are the mask's class values, and pasted objects arrive as classes).
"""

import os

from ._files import SampleError, copy_atomic, copy_name, ensure_parent, encode_image, read_image, read_mask, write_atomic
from .yolo import Yolo


class Masks(Yolo):
    name = "masks"
    label_folder = "masks"

    def _annotation_ref(self, stem):
        mask = "masks/%s.png" % stem
        if os.path.isfile(os.path.join(self.src, mask)):
            return {"mask": mask}
        return {"mask": mask, "error": "no mask file %s" % mask}

    def scan(self):
        refs, problems = super().scan()
        self.meta = None
        return refs, problems

    def load(self, ref):
        self._error(ref)
        image = read_image(os.path.join(self.src, ref["image"]))
        mask = read_mask(os.path.join(self.src, ref["mask"]))
        if mask.shape[:2] != image.shape[:2]:
            raise SampleError("malformed annotation", "%s is %d x %d, its image %d x %d"
                              % (ref["mask"], mask.shape[1], mask.shape[0], image.shape[1], image.shape[0]))
        return {"image": image, "mask": mask}

    def _label_path(self, dst, ref, copy, ext=".png"):
        return super()._label_path(dst, ref, copy, ext)

    def write(self, dst, ref, record, copy, ext, quality):
        self._write_image(self._image_path(dst, ref, copy, ext), record["image"], ext, quality)
        path = self._label_path(dst, ref, copy)
        ensure_parent(path)
        write_atomic(path, encode_image(record["mask"], ".png"))

    def write_original(self, dst, ref, record):
        path = self._image_path(dst, ref, None, None)
        ensure_parent(path)
        copy_atomic(os.path.join(self.src, ref["image"]), path)
        mask = self._label_path(dst, ref, None)
        ensure_parent(mask)
        copy_atomic(os.path.join(self.src, ref["mask"]), mask)

    def prepare(self, dst, resume):
        pass
