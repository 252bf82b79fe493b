"""Semantic masks: images/ and masks/ (PNG class values, the same stems).

A sample record holds "image" and "mask" (no keypoints, so no labels:
objects are the mask's class values, and pasted objects arrive as classes).
Other layouts name their folders and a list of stems (one a line, as VOC's
ImageSets/Segmentation/train.txt): only the listed samples are read, DST repeats the
folders and gets a list of what it holds at the same place.
Palette PNG masks are read as their indices and their copies written back with
the same palette; other masks go through kiro's decoder (16-bit kept).
"""

import io
import os

import numpy as np

from ._files import (SampleError, copy_atomic, copy_name, ensure_parent, encode_image, list_images, read_image,
                     read_mask, write_atomic, write_text_atomic)
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


def _folder(value, what):
    """A folder under SRC as a relative '/' path (DST repeats it)."""
    rel = os.path.normpath(str(value)).replace(os.sep, "/")
    if os.path.isabs(rel) or rel == os.pardir or rel.startswith(os.pardir + "/"):
        raise ValueError("--%s %s must be a folder under SRC" % (what, value))
    return rel


class Masks(Yolo):
    name = "masks"
    label_folder = "masks"
    images = "images"
    list_file = None
    layout = None

    def set_layout(self, layout):
        """{"images": DIR, "masks": DIR, "list": FILE}: folders under SRC, the list under SRC or absolute."""
        self.layout = dict(layout)
        self.images = _folder(layout.get("images") or "images", "images")
        self.label_folder = _folder(layout.get("masks") or "masks", "masks")
        self.list_file = layout.get("list")

    def _list_path(self):
        return os.path.join(self.src, self.list_file)

    def list_output(self, dst):
        """DST's list: SRC's relative place, else its name at DST's top."""
        rel = os.path.relpath(os.path.abspath(self._list_path()), self.src)
        if os.path.isabs(rel) or rel.startswith(os.pardir):
            rel = os.path.basename(self.list_file)
        return os.path.join(dst, rel)

    def _annotation_ref(self, stem):
        mask = "%s/%s.png" % (self.label_folder, stem)
        if os.path.isfile(os.path.join(self.src, mask)):
            return {"mask": mask}
        return {"mask": mask, "error": "no mask file %s" % mask}

    def scan(self):
        self.meta = None
        folder = os.path.join(self.src, self.images)
        if not os.path.isdir(folder):
            raise ValueError("%s has no %s/ folder" % (self.src, self.images))
        found = list_images(folder)
        by_stem = {}
        for rel in found:
            by_stem.setdefault(os.path.splitext(rel)[0], []).append(rel)
        if self.list_file is None:
            entries = [(os.path.splitext(rel)[0], rel) for rel in found]
        else:
            try:
                with open(self._list_path(), encoding="utf-8") as f:
                    entries = [line.split()[0] for line in f if line.strip()]
            except (OSError, UnicodeDecodeError) as e:
                raise ValueError("cannot read the list %s: %s" % (self.list_file, e)) from None
            entries = [(stem, by_stem.get(stem, [None])[0]) for stem in entries]
        refs, taken = [], {}
        for index, (stem, rel) in enumerate(entries):
            ref = {"index": index, "name": stem, "image": None if rel is None else "%s/%s" % (self.images, rel)}
            ref.update(self._annotation_ref(stem))
            others = [r for r in by_stem.get(stem, ()) if r != rel]
            if rel is None:
                ref.update(error="no image %s/%s.*" % (self.images, stem), error_kind="unreadable image")
            elif stem in taken:
                ref["error"] = "output name %s is also the name of %s" % (stem, taken[stem])
            elif others and self.list_file is not None:
                ref["error"] = "output name %s is also the name of %s" % (stem, others[0])
            taken.setdefault(stem, rel)
            refs.append(ref)
        return refs, []

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
        self._write_image(self._image_path(dst, ref, copy, ext, self.images), record["image"], ext, quality)
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
        path = self._image_path(dst, ref, None, None, self.images)
        ensure_parent(path)
        copy_atomic(os.path.join(self.src, ref["image"]), path)
        mask = self._label_path(dst, ref, None)
        ensure_parent(mask)
        copy_atomic(os.path.join(self.src, ref["mask"]), mask)

    def done(self, dst, ref, copy, ext):
        return os.path.isfile(self._label_path(dst, ref, copy)) and \
            os.path.isfile(self._image_path(dst, ref, copy, ext, self.images))

    def prepare(self, dst, resume):
        pass

    def finish(self, dst, outputs):
        if self.list_file is not None:
            out = self.list_output(dst)
            ensure_parent(out)
            write_text_atomic(out, "".join("%s\n" % (ref["name"] if copy is None else copy_name(ref["name"], copy))
                                           for ref, copy, _ in outputs))
