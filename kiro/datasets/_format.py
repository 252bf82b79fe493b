"""What every data set format provides to the multiply run."""

import os

import numpy as np

from ._files import SampleError, copy_name, encode_image, ensure_parent, reading, write_atomic


class Format:
    """A data set layout: reading samples from SRC and writing them to DST.

    The driver calls `scan` (the sample references, in a fixed order), `prepare`
    and `finish`; workers call `load`, `write`, `write_original` and `done`
    with references only, so a format object is cheap to make in a worker.
    A reference is a JSON-serialisable dict with at least "index", "name"
    (the image's path under its image folder, without extension) and
    "image" (its path under SRC); "error" marks a sample found unusable.
    """

    name = None
    dropped = ()  # reasons for what the last `load` left out (degenerate polygons), for the report
    keep_grey = False  # grey images stay single-channel (else read as 3-channel BGR)

    def __init__(self, src, annotations=None):
        self.src = os.path.abspath(src)
        self.annotations = annotations

    @classmethod
    def detect(cls, src):
        raise NotImplementedError

    def scan(self):
        """(references, problems): problems are (name, reason) pairs not tied to a sample."""
        raise NotImplementedError

    def prepare(self, dst, resume):
        pass

    def finish(self, dst, outputs):
        """Called with (ref, copy, ext) of every output in DST, in output order (copy None: the original)."""

    def restore(self, dst, ref, copy, ext):
        """On resume, before any work: bring back what `done` needs for an output already there."""

    def load(self, ref):
        raise NotImplementedError

    def read(self, ref):
        """`load` with this format's image reading options."""
        with reading(self.keep_grey):
            return self.load(ref)

    def donor(self, record, load):
        """A loaded record as the `load`-th donor of one copy (labels made distinct where they must be)."""
        return record

    def write(self, dst, ref, record, copy, ext, quality):
        raise NotImplementedError

    def write_original(self, dst, ref, record):
        raise NotImplementedError

    def done(self, dst, ref, copy, ext):
        """The piece of an output already in DST (copy None: the original), or None."""
        raise NotImplementedError

    def files(self, dst, ref, copy, ext):
        """The files of one output (copy None: the original); --resume keeps it only if the images decode."""
        return [self._image_path(dst, ref, copy, ext)]

    # Helpers for the formats.
    def _error(self, ref):
        if ref.get("error"):
            raise SampleError(ref.get("error_kind", "malformed annotation"), ref["error"])

    def _image_path(self, dst, ref, copy, ext, folder="images"):
        name = ref["name"] + os.path.splitext(ref["image"])[1] if copy is None else copy_name(ref["name"], copy) + ext
        return os.path.join(dst, folder, name)

    def _write_image(self, path, image, ext, quality):
        if ext in (".jpg", ".jpeg") and image.ndim == 3 and image.shape[2] == 4:
            image = image[..., :3]  # JPEG has no alpha
        ensure_parent(path)
        write_atomic(path, encode_image(np.ascontiguousarray(image), ext, quality))


def check_polygon(coords, width, height, what, drop=False):
    """Coordinates x1, y1, ... as an N x 2 float array, or SampleError naming `what`.

    With `drop`, a polygon of fewer than 3 points or of zero area gives (None, reason) instead
    of an error, and a usable one (array, None).
    """
    try:
        values = np.asarray(coords, dtype=np.float64)
    except (TypeError, ValueError):
        raise SampleError("malformed annotation", "%s: coordinates are not numbers" % what) from None
    if values.ndim != 1:
        raise SampleError("malformed annotation", "%s: coordinates are not a flat list" % what)
    if values.size % 2:
        raise SampleError("malformed annotation", "%s: odd number of coordinates (%d)" % (what, values.size))
    if values.size < 6 and not drop:
        raise SampleError("malformed annotation", "%s: fewer than 3 points" % what)
    if not values.size:
        return None, "%s: no points" % what
    if not np.isfinite(values).all():
        raise SampleError("malformed annotation", "%s: coordinate is NaN or infinite" % what)
    xs, ys = values[0::2], values[1::2]
    if xs.min() < -width or xs.max() > 2 * width or ys.min() < -height or ys.max() > 2 * height:
        raise SampleError("malformed annotation",
                          "%s: coordinates outside the %d x %d image by more than its size" % (what, width, height))
    if not drop:
        return values.reshape(-1, 2)
    if values.size < 6:
        return None, "%s: fewer than 3 points" % what
    area = np.dot(xs, np.roll(ys, -1)) - np.dot(np.roll(xs, -1), ys)
    if abs(area) <= 1e-12 * width * height:
        return None, "%s: zero area" % what
    return values.reshape(-1, 2), None


def unpack(record):
    """Polygons and labels of a record after a pipeline; flattened polygons dropped."""
    import kiro

    keypoints = record.get("keypoints")
    if keypoints is None:
        return [], []
    labels = record.get("labels")
    if labels is None:
        labels = [None] * len(keypoints)
    polygons, labels = kiro.unpack_polygons(keypoints, labels, drop_degenerate=True)
    return polygons, list(labels)
