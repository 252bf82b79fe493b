"""Drawing helpers shared by the demo panels."""

import numpy as np

from kiro.utils import _demo

# BGR tint per class value (cycled), background untouched.
_TINTS = np.array([[0, 0, 255], [0, 255, 0], [255, 0, 0], [0, 255, 255],
                   [255, 0, 255], [255, 255, 0]], np.float32)


def as_bgr(image):
    """Any kiro result as a displayable H x W x 3 uint8 image."""
    img = np.asarray(image)
    if img.dtype != np.uint8:
        img = np.clip(img, 0, 255).astype(np.uint8)
    if img.ndim == 2:
        img = np.repeat(img[:, :, None], 3, axis=2)
    elif img.shape[2] == 1:
        img = np.repeat(img, 3, axis=2)
    elif img.shape[2] > 3:
        img = img[:, :, :3]
    return np.ascontiguousarray(img)


def overlay(record, bg_mask=0):
    """The record's image with its mask tinted and its polygons outlined."""
    img = as_bgr(record["image"]).copy()
    mask = record.get("mask")
    if mask is not None and mask.shape[:2] == img.shape[:2]:
        labelled = mask != bg_mask
        tint = _TINTS[(mask.astype(np.int64) - 1) % len(_TINTS)]
        mixed = 0.55 * img.astype(np.float32) + 0.45 * tint
        img[labelled] = mixed[labelled].astype(np.uint8)
    keypoints = record.get("keypoints")
    if keypoints is not None:
        for row in np.asarray(keypoints).reshape(len(keypoints), -1):
            if row.size >= 4:
                _demo.polylines(img, row.astype(np.int32), (0, 255, 255), 2)
    return img
