"""Polygons of different lengths as keypoint rows, and per-sample seeds.

The operations take keypoints as one 2-D array, one polygon per row
(x1, y1, x2, y2, ...). Real data sets hold polygons with different vertex
counts; `pack_polygons` pads the shorter ones by repeating their last vertex
(which changes neither their area nor their bounding box) and
`unpack_polygons` strips that padding again.
"""

import hashlib

import numpy as np

__all__ = ["pack_polygons", "unpack_polygons", "polygon_area", "sample_seed"]

# Polygons whose absolute area is at most this (square pixels) count as flat.
DEGENERATE_AREA = 1e-6


def _vertices(polygon, index):
    a = np.asarray(polygon)
    if a.dtype == np.bool_ or not (np.issubdtype(a.dtype, np.integer) or np.issubdtype(a.dtype, np.floating)):
        raise TypeError("polygon %d: coordinates must be integers or reals, got %s" % (index, a.dtype))
    if a.ndim == 1:
        if a.size % 2:
            raise ValueError("polygon %d: a flat x, y run needs an even number of values, got %d"
                             % (index, a.size))
        a = a.reshape(-1, 2)
    elif a.ndim != 2 or a.shape[1] != 2:
        raise ValueError("polygon %d: expected N x 2 vertices or a flat x, y run, got shape %s"
                         % (index, a.shape))
    if len(a) == 0:
        raise ValueError("polygon %d has no vertices" % index)
    return a


def pack_polygons(polygons, dtype=None):
    """Keypoint array (one row per polygon) from a list of polygons.

    Each polygon is an N_i x 2 array or a flat x, y run. Rows are as long as
    the longest polygon; shorter ones repeat their last vertex. The element
    type is the common type of the inputs (float stays float, integer stays
    integer) unless `dtype` is given. No polygons give a 0 x 0 array.
    """
    polys = [_vertices(p, i) for i, p in enumerate(polygons)]
    if dtype is None:
        dtype = np.result_type(*polys) if polys else np.float64
    width = max((len(p) for p in polys), default=0)
    out = np.empty((len(polys), 2 * width), dtype=dtype)
    for i, p in enumerate(polys):
        row = out[i].reshape(width, 2)
        row[:len(p)] = p
        row[len(p):] = p[-1]
    return out


def _rows(keypoints):
    kp = np.asarray(keypoints)
    if kp.size == 0 and kp.ndim <= 2:
        return kp.reshape(0, 0) if kp.ndim != 2 else kp
    if kp.ndim != 2:
        raise ValueError("keypoints must have 2 axes (polygons, coordinates), got %d" % kp.ndim)
    if kp.shape[1] % 2:
        raise ValueError("keypoints rows must hold x, y pairs, got %d columns" % kp.shape[1])
    return kp


def polygon_area(vertices):
    """Absolute area of an N x 2 polygon (shoelace formula, in float64)."""
    v = np.asarray(vertices, dtype=np.float64)
    if len(v) < 3:
        return 0.0
    x, y = v[:, 0], v[:, 1]
    return abs(float(np.dot(x, np.roll(y, -1)) - np.dot(y, np.roll(x, -1)))) / 2.0


def _strip(row):
    v = row.reshape(-1, 2)
    n = len(v)
    while n > 1 and v[n - 1, 0] == v[n - 2, 0] and v[n - 1, 1] == v[n - 2, 1]:
        n -= 1
    return v[:n].copy()


def unpack_polygons(keypoints, labels=None, drop_degenerate=False):
    """Polygons (N_i x 2 arrays of the keypoints' element type) from keypoint rows.

    Trailing repeats of a row's last vertex are removed. With
    `drop_degenerate=True` polygons of zero area (for example flattened onto
    an image border by a rotation) are left out. With `labels` (one entry per
    row: a list, tuple or array) the result is `(polygons, labels)`, the labels
    kept exactly for the polygons kept, in the same kind of sequence.
    """
    kp = _rows(keypoints)
    polys = [_strip(kp[i]) for i in range(kp.shape[0])]
    keep = [i for i, p in enumerate(polys) if not (drop_degenerate and polygon_area(p) <= DEGENERATE_AREA)]
    polys = [polys[i] for i in keep]
    if labels is None:
        return polys
    if len(labels) != kp.shape[0]:
        raise ValueError("labels has %d entries but keypoints has %d rows; labels needs one entry per "
                         "keypoint row" % (len(labels), kp.shape[0]))
    if isinstance(labels, np.ndarray):
        kept = labels[np.asarray(keep, dtype=np.intp)]
    elif isinstance(labels, tuple):
        kept = tuple(labels[i] for i in keep)
    else:
        kept = [labels[i] for i in keep]
    return polys, kept


def _nonneg_int(value, name):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError("%s must be an integer, got %r" % (name, value))
    value = int(value)
    if value < 0:
        raise ValueError("%s must not be negative, got %d" % (name, value))
    return value


def sample_seed(base_seed, index, copy=0):
    """64-bit seed of sample `index`, copy `copy`, in a run seeded with `base_seed`.

    The seed is the first 8 bytes, read as a little-endian unsigned integer, of
    SHA-256 over the ASCII text "kiro-sample-seed:<base_seed>:<index>:<copy>"
    (decimal integers). It depends on nothing else, so it is the same on every
    Python version and platform and for any order or number of workers.
    """
    base_seed = _nonneg_int(base_seed, "base_seed")
    index = _nonneg_int(index, "index")
    copy = _nonneg_int(copy, "copy")
    text = "kiro-sample-seed:%d:%d:%d" % (base_seed, index, copy)
    return int.from_bytes(hashlib.sha256(text.encode("ascii")).digest()[:8], "little")
