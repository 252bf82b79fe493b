"""Demo panels: fit-to-base scaling, crop to mask content, Gaussian heat map."""

import numpy as np

import kiro
from demo_util import as_bgr, overlay
from kiro.utils import _demo


def _heat_colours(values):
    """Values in [0, 1] as a black-red-yellow-white ramp (BGR uint8)."""
    v = np.clip(values, 0.0, 1.0)[..., None]
    rgb = np.clip(3.0 * v - np.array([0.0, 1.0, 2.0]), 0.0, 1.0)
    return (255 * rgb[..., ::-1]).astype(np.uint8)


def _caspen_panel(sample):
    image = sample["image"]
    watermark = _demo.imread(sample["watermark_path"])
    if watermark.ndim == 2:
        watermark = watermark[:, :, None]
    if watermark.shape[2] < 4:  # no alpha: opaque
        alpha = np.full(watermark.shape[:2] + (1,), 255, np.uint8)
        watermark = np.concatenate([as_bgr(watermark), alpha], axis=2)
    # A four-channel base of the photo's size keeps the watermark's alpha.
    base = np.zeros(image.shape[:2] + (4,), np.uint8)
    scaled, re_h, re_w = kiro.caspen(base, watermark, (0.4, 0.6))
    out = image.copy()
    top, left = (image.shape[0] - re_h) // 2, (image.shape[1] - re_w) // 2
    a = scaled[:, :, 3:4].astype(np.float32) / 255.0
    roi = out[top:top + re_h, left:left + re_w].astype(np.float32)
    out[top:top + re_h, left:left + re_w] = (a * scaled[:, :, :3] + (1 - a) * roi).astype(np.uint8)
    box = np.array([left, top, left + re_w - 1, top, left + re_w - 1, top + re_h - 1, left, top + re_h - 1])
    _demo.polylines(out, box.astype(np.int32), (255, 255, 0), 1)
    return "caspen: watermark %d x %d" % (re_w, re_h), out


def _faltor_panel(sample):
    mask = sample["mask"]
    crop, (up, left, h, w) = kiro.faltor(sample["image"], (mask == 2).astype(np.uint8), 12)
    labels = {"image": crop, "mask": mask[up:up + h, left:left + w]}
    return "faltor: class 2, padding 12", overlay(labels)


def _gaussian_panel(sample):
    image = sample["image"]
    row = sample["keypoints"][0]
    xs, ys = row[0::2], row[1::2]
    region = [xs.min(), ys.min(), xs.max(), ys.min(), xs.max(), ys.max(), xs.min(), ys.max()]
    heat = kiro.generate_gaussian_map(image.shape[:2], region)
    out = (0.45 * image + 0.55 * _heat_colours(heat)).astype(np.uint8)
    _demo.polylines(out, np.array(region, np.int32), (255, 255, 0), 1)
    return "generate_gaussian_map: object 1", out


def panels(sample):
    return [_caspen_panel(sample), _faltor_panel(sample), _gaussian_panel(sample)]
