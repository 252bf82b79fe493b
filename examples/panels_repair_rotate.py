"""Mask repair on a JPEG-degraded mask, and slight rotations with their labels."""

import numpy as np

from demo_util import overlay

from kiro.core.grellin import grellin
from kiro.core.quendor import quendor
from kiro.utils import _demo

STEP = 60  # grey step between classes in the degraded copy


def _dct_matrix(n=8):
    k = np.arange(n)
    c = np.cos(np.pi * (2 * k[None, :] + 1) * k[:, None] / (2 * n)) * np.sqrt(2.0 / n)
    c[0] /= np.sqrt(2.0)
    return c


def jpeg_like(mask, quality_step=400.0):
    """The mask stored as grey levels through 8 x 8 DCT blocks with coarse
    quantisation (as a lossy codec does), then read back as class values."""
    h, w = mask.shape
    ph, pw = -h % 8, -w % 8
    grey = np.pad(mask.astype(np.float64) * STEP, ((0, ph), (0, pw)), mode="edge") - 128
    d = _dct_matrix()
    blocks = grey.reshape(grey.shape[0] // 8, 8, grey.shape[1] // 8, 8).transpose(0, 2, 1, 3)
    coef = d @ blocks @ d.T
    freq = np.add.outer(np.arange(8), np.arange(8))
    q = 4.0 + quality_step * freq / 14.0
    coef = np.round(coef / q) * q
    back = (d.T @ coef @ d).transpose(0, 2, 1, 3).reshape(grey.shape) + 128
    values = np.clip(np.round(back[:h, :w] / STEP), 0, 255).astype(np.uint8)
    return values


def _zoom_pair(image, before, after, size=96):
    """The same window of two overlays side by side, enlarged, where the damage is."""
    ys, xs = np.nonzero(before != after)
    h, w = before.shape
    cy = int(np.median(ys)) if len(ys) else h // 2
    cx = int(np.median(xs)) if len(xs) else w // 2
    y0, x0 = min(max(cy - size // 2, 0), h - size), min(max(cx - size // 2, 0), w - size)
    crops = [overlay({"image": image, "mask": m})[y0:y0 + size, x0:x0 + size] for m in (before, after)]
    gap = np.full((size, 2, 3), 255, np.uint8)
    pair = np.concatenate([crops[0], gap, crops[1]], 1)
    return np.repeat(np.repeat(pair, 3, axis=0), 3, axis=1)  # nearest-neighbour enlargement


def _boxes(image, boxes):
    img = image.copy()
    for x0, y0, x1, y1 in np.asarray(boxes).reshape(-1, 4):
        corners = np.array([x0, y0, x1, y0, x1, y1, x0, y1], np.int32)
        _demo.polylines(img, corners, (255, 255, 255), 1)
    return img


def panels(sample):
    image, mask, keypoints = sample["image"], sample["mask"], sample["keypoints"]
    damaged = jpeg_like(mask)
    repaired = grellin(damaged, delete_thresh=0.02)
    strays = int(np.count_nonzero(damaged != mask))
    left = int(np.count_nonzero(repaired != mask))

    def rotated(angle, keys=("image", "mask", "keypoints"), **kwargs):
        rec = {k: sample[k].copy() for k in keys}
        return quendor(rec, angle, prob=1, **kwargs)

    boxed = rotated(-30, keys=("image", "mask"), use_bbox=True)
    return [
        ("JPEG-like mask: %d px off" % strays, overlay({"image": image, "mask": damaged})),
        ("grellin repaired: %d px off" % left, overlay({"image": image, "mask": repaired})),
        ("zoom: degraded | repaired", _zoom_pair(image, damaged, repaired)),
        ("quendor 20 deg", overlay(rotated(20))),
        ("quendor -30 deg, mask boxes", _boxes(overlay(boxed), boxed["bbox"])),
        ("quendor (-45, 45), keypoints", overlay(rotated((-45, 45), keys=("image", "keypoints")))),
    ]
