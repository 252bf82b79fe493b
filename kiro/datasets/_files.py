"""File helpers shared by the formats: image decoding and encoding, atomic writes."""

import contextlib
import contextvars
import os
import struct

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


# Whether read_image keeps grey images single-channel, when not told (see `reading`).
_KEEP_GREY = contextvars.ContextVar("kiro_keep_grey", default=False)


@contextlib.contextmanager
def reading(keep_grey):
    """Within the block, read_image keeps grey images grey or not (the formats read through it)."""
    token = _KEEP_GREY.set(bool(keep_grey))
    try:
        yield
    finally:
        _KEEP_GREY.reset(token)


def _decode(path):
    """File bytes and their decoded pixels, unchanged (channels, alpha and depth kept)."""
    try:
        with open(path, "rb") as f:
            data = f.read()
        return data, _io().decode(data)
    except (OSError, ValueError) as e:
        raise SampleError("unreadable image", "%s: %s" % (os.path.basename(path), e)) from None


def jpeg_orientation(data):
    """The EXIF orientation (1..8) of JPEG bytes; 1 when there is none or it cannot be read."""
    if data[:2] != b"\xff\xd8":
        return 1
    pos = 2
    while pos + 4 <= len(data):
        if data[pos] != 0xFF:
            return 1
        marker = data[pos + 1]
        if marker == 0xFF:  # fill byte
            pos += 1
            continue
        if marker in (0xD9, 0xDA):  # end of image, start of scan: no metadata after
            return 1
        if 0xD0 <= marker <= 0xD7 or marker == 0x01:
            pos += 2
            continue
        length = struct.unpack(">H", data[pos + 2:pos + 4])[0]
        if length < 2:
            return 1
        body = data[pos + 4:pos + 2 + length]
        if marker == 0xE1 and body[:6] == b"Exif\x00\x00":
            return _tiff_orientation(body[6:])
        pos += 2 + length
    return 1


def _tiff_orientation(tiff):
    """Orientation tag (0x0112) of IFD0 of a TIFF header block; 1 when absent or malformed."""
    if len(tiff) < 8 or tiff[:2] not in (b"II", b"MM"):
        return 1
    order = "<" if tiff[:2] == b"II" else ">"
    if struct.unpack(order + "H", tiff[2:4])[0] != 42:
        return 1
    ifd = struct.unpack(order + "I", tiff[4:8])[0]
    if ifd + 2 > len(tiff):
        return 1
    count = struct.unpack(order + "H", tiff[ifd:ifd + 2])[0]
    for k in range(count):
        at = ifd + 2 + 12 * k
        if at + 12 > len(tiff):
            return 1
        tag, kind, n = struct.unpack(order + "HHI", tiff[at:at + 8])
        if tag == 0x0112:
            if kind != 3 or n < 1:  # SHORT
                return 1
            value = struct.unpack(order + "H", tiff[at + 8:at + 10])[0]
            return value if 1 <= value <= 8 else 1
    return 1


def orient(image, orientation):
    """`image` as displayed under EXIF `orientation` (stored rows and columns flipped or swapped)."""
    swap, flip_rows, flip_cols = _ORIENTATIONS.get(orientation, (False, False, False))
    if swap:
        image = np.swapaxes(image, 0, 1)
    if flip_rows:
        image = image[::-1]
    if flip_cols:
        image = image[:, ::-1]
    return np.ascontiguousarray(image)


# orientation -> (swap rows and columns, then flip rows, flip columns)
_ORIENTATIONS = {2: (False, False, True), 3: (False, True, True), 4: (False, True, False),
                 5: (True, False, False), 6: (True, False, True), 7: (True, True, True), 8: (True, True, False)}


def read_image(path, keep_grey=None):
    """A data set image as training loaders see it: EXIF orientation applied, grey as 3-channel
    BGR (grey with alpha as BGRA), or with `keep_grey` as height x width x 1; depth and alpha
    kept. `keep_grey` None: as set by `reading` (default False)."""
    data, image = _decode(path)
    return _as_read(data, image, keep_grey)


def decode_image(data, name, keep_grey=None):
    """`read_image` of image bytes (an embedded image); `name` names them in errors."""
    try:
        image = _io().decode(data)
    except ValueError as e:
        raise SampleError("unreadable image", "%s: %s" % (name, e)) from None
    return _as_read(data, image, keep_grey)


def _as_read(data, image, keep_grey):
    image = orient(image, jpeg_orientation(data))
    if keep_grey is None:
        keep_grey = _KEEP_GREY.get()
    if keep_grey:
        if image.ndim == 2:
            image = image[:, :, None]
    else:
        if image.ndim == 3 and image.shape[2] == 1:
            image = image[..., 0]
        if image.ndim == 2:
            image = np.repeat(image[:, :, None], 3, axis=2)
        elif image.ndim == 3 and image.shape[2] == 2:
            image = image[:, :, [0, 0, 0, 1]]
    return np.ascontiguousarray(image)


def read_mask(path):
    """A class mask: one channel (a grey PNG saved with equal colour channels is accepted)."""
    mask = _decode(path)[1]
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


def write_atomic(path, data, durable=False):
    """Write bytes under a temporary name beside `path`, then rename into place.

    `durable`: the data is on disk before the rename, and the rename after it.
    """
    tmp = "%s.%d%s" % (path, os.getpid(), TEMP_SUFFIX)
    try:
        with open(tmp, "wb") as f:
            f.write(data)
            if durable:
                f.flush()
                os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.remove(tmp)
        raise
    if durable:
        sync_folder(os.path.dirname(path))


def write_text_atomic(path, text, durable=False):
    write_atomic(path, text.encode("utf-8"), durable)


def sync_all():
    """Everything written so far (files and folders) on disk."""
    if hasattr(os, "sync"):
        os.sync()


def sync_folder(folder):
    """The folder's entries (renames into it) on disk; a no-op where folders cannot be opened."""
    try:
        fd = os.open(folder or ".", os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def decodes(path):
    """Whether the file at `path` is a whole image (what --resume keeps)."""
    try:
        data, _ = _decode(path)
    except SampleError:
        return False
    # A cut JPEG still decodes (its end grey): a whole one has its end marker near the end.
    return data[:2] != b"\xff\xd8" or b"\xff\xd9" in data[-4096:]


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
