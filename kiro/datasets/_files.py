"""File helpers shared by the formats: image decoding and encoding, atomic writes."""

import os

import numpy as np

TEMP_SUFFIX = ".kiro-tmp"
IMAGE_EXTENSIONS = (".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff", ".webp")


class SampleError(Exception):
    """A sample that cannot be used; `kind` groups the reasons in the report."""

    def __init__(self, kind, reason):
        super().__init__(reason)
        self.kind = kind
        self.reason = reason


def _io():
    from kiro.utils import _io

    return _io


def read_image(path):
    """Decode a file with kiro's decoder (channels, alpha and depth kept)."""
    try:
        return _io().read_image(path)
    except (OSError, ValueError) as e:
        raise SampleError("unreadable image", "%s: %s" % (os.path.basename(path), e)) from None


def read_mask(path):
    """A class mask: one channel (a grey PNG saved with equal colour channels is accepted)."""
    mask = read_image(path)
    if mask.ndim == 3:
        if mask.shape[2] >= 3 and (mask[..., 0] == mask[..., 1]).all() and (mask[..., 0] == mask[..., 2]).all():
            mask = np.ascontiguousarray(mask[..., 0])
        else:
            raise SampleError("malformed annotation",
                              "%s: mask has colour channels, expected one channel of class values"
                              % os.path.basename(path))
    return mask


def encode_image(image, ext, quality=95):
    """Bytes of `image` as .png or .jpg (8-bit; 16-bit PNG kept)."""
    return _io().encode(image, ext, quality)


def write_atomic(path, data):
    """Write bytes under a temporary name beside `path`, then rename into place."""
    tmp = "%s.%d%s" % (path, os.getpid(), TEMP_SUFFIX)
    try:
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.remove(tmp)
        raise


def write_text_atomic(path, text):
    write_atomic(path, text.encode("utf-8"))


def copy_atomic(src, dst):
    with open(src, "rb") as f:
        write_atomic(dst, f.read())


def ensure_parent(path):
    os.makedirs(os.path.dirname(path), exist_ok=True)


def remove_temp_files(root):
    """Remove leftovers of an interrupted run (temporary names only)."""
    for folder, _, files in os.walk(root):
        for name in files:
            if name.endswith(TEMP_SUFFIX):
                os.remove(os.path.join(folder, name))


def list_images(folder):
    """Image files under `folder`, as sorted paths relative to it ('/' separators)."""
    found = []
    for parent, dirs, files in os.walk(folder):
        dirs.sort()
        for name in files:
            if os.path.splitext(name)[1].lower() in IMAGE_EXTENSIONS:
                found.append(os.path.relpath(os.path.join(parent, name), folder).replace(os.sep, "/"))
    return sorted(found)


def output_ext(source_name, image_format):
    """Extension of a written image: 'png', 'jpg', or 'auto' (JPEG sources stay JPEG)."""
    if image_format == "auto":
        return ".jpg" if os.path.splitext(source_name)[1].lower() in (".jpg", ".jpeg") else ".png"
    if image_format in ("png", "jpg"):
        return "." + image_format
    raise ValueError("image format must be auto, png or jpg, got %r" % (image_format,))


def copy_name(stem, copy):
    return "%s_k%d" % (stem, copy)
