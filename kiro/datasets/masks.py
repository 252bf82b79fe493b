"""Semantic masks: images/ and masks/ (PNG class values, the same stems).

A sample record holds "image" and "mask" (no keypoints, so no labels:
objects are the mask's class values, and pasted objects arrive as classes).
Palette PNG masks are read as their indices and their copies written back with
the same palette; other masks go through kiro's decoder (16-bit kept).
"""

import io
import os

import numpy as np

from ._files import SampleError, copy_atomic, copy_name, ensure_parent, encode_image, read_image, read_mask, write_atomic
from .yolo import Yolo


def read_palette_mask(path):
    """(indices, (palette, transparency)) of a palette PNG, or None for any other file."""
    from PIL import Image

    try:
        img = Image.open(path)
    except (OSError, ValueError):
        return None  # not for Pillow: kiro's decoder gives the reason
    with img:
        if img.format != "PNG" or img.mode != "P":
            return None
        try:
            indices = np.array(img, dtype=np.uint8)
        except (OSError, ValueError) as e:
            raise SampleError("unreadable image", "%s: %s" % (os.path.basename(path), e)) from None
        return indices, (img.getpalette() or [], img.info.get("transparency"))


def encode_palette_mask(mask, palette):
    """PNG bytes of `mask` as indices into `palette` (as read_palette_mask gives it).

    None when the mask cannot be palette indices (values above 255, or not one channel).
    """
    from PIL import Image

    mask = np.asarray(mask)
    if mask.ndim == 3 and mask.shape[2] == 1:
        mask = mask[..., 0]
    if mask.ndim != 2 or mask.dtype.kind not in "iu" or (mask.size and (mask.min() < 0 or mask.max() > 255)):
        return None
    colours, transparency = palette
    colours = list(colours)
    top = int(mask.max()) + 1 if mask.size else 1
    if len(colours) < 3 * top:  # every index written has an entry
        colours += [0] * (3 * top - len(colours))
    img = Image.frombytes("P", (mask.shape[1], mask.shape[0]), np.ascontiguousarray(mask, dtype=np.uint8).tobytes())
    img.putpalette(colours)
    options = {} if transparency is None else {"transparency": transparency}
    buf = io.BytesIO()
    img.save(buf, "PNG", **options)
    return buf.getvalue()


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
        path = os.path.join(self.src, ref["mask"])
        found = read_palette_mask(path)
        mask = read_mask(path) if found is None else found[0]
        self._last_palette = (ref["mask"], None if found is None else found[1])
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
        data = None
        palette = self._palette(ref)
        if palette is not None:
            data = encode_palette_mask(record["mask"], palette)
        if data is None:  # grey, or values a palette cannot hold: grey (16-bit kept)
            data = encode_image(np.ascontiguousarray(record["mask"]), ".png")
        write_atomic(path, data)

    def _palette(self, ref):
        """The source mask's palette, None for a grey mask (kept from the last load, else read again)."""
        last = getattr(self, "_last_palette", None)
        if last is not None and last[0] == ref["mask"]:
            return last[1]
        found = read_palette_mask(os.path.join(self.src, ref["mask"]))
        return None if found is None else found[1]

    def write_original(self, dst, ref, record):
        path = self._image_path(dst, ref, None, None)
        ensure_parent(path)
        copy_atomic(os.path.join(self.src, ref["image"]), path)
        mask = self._label_path(dst, ref, None)
        ensure_parent(mask)
        copy_atomic(os.path.join(self.src, ref["mask"]), mask)

    def prepare(self, dst, resume):
        pass
