"""Utilities: fit-to-base scaling, crop to mask content, Gaussian heat map."""

import math

import numpy as np

from harness import Case
from kiro.utils.caspen import caspen
from kiro.utils.faltor import faltor
from kiro.utils.halvex import generate_gaussian_map

try:
    import cv2
except ImportError:
    cv2 = None

PADDING = 16


def numpy_gaussian_map(img_size, region):
    """The plain NumPy formulation of the heat map: meshgrid, differences, exp."""
    x = np.arange(img_size[1], dtype=np.float64)
    y = np.arange(img_size[0], dtype=np.float64)
    xx, yy = np.meshgrid(x, y)
    xxyy = np.c_[xx.ravel(), yy.ravel()]
    region = np.asarray(region).reshape(4, 2).astype(int)
    dmax = min(np.ptp(region[:, 1]), np.ptp(region[:, 0]))
    sigma = math.sqrt(-float(dmax) ** 2 / math.log(0.01))
    xxyy -= (int(np.mean(region[:, 0])), int(np.mean(region[:, 1])))
    return np.exp(-(xxyy[:, 0] ** 2 + xxyy[:, 1] ** 2) / 2 / sigma ** 2).reshape(img_size)


def cases(ctx):
    floors = ctx.floors("utils")
    image, mask = ctx.image, ctx.mask
    h, w = image.shape[:2]
    # caspen: the sample scaled to half the base width (a fixed draw: ratio 0.5..0.5).
    src = image
    re_w = int(w * 0.5)
    re_h = int(re_w / src.shape[1] * src.shape[0])
    # One object's box as the heat-map region.
    kp = ctx.keypoints[0]
    xs, ys = kp[0::2], kp[1::2]
    region = [xs.min(), ys.min(), xs.max(), ys.min(), xs.max(), ys.max(), xs.min(), ys.max()]
    return [
        Case(op="caspen (1920 x 1080 -> %d x %d)" % (re_w, re_h),
             kiro=lambda: caspen(image, src, (0.5, 0.5)),
             floor=lambda: floors.resize(src, re_w, re_h), floor_name="cv::resize to the same size",
             target=1.2, cv2=(lambda: cv2.resize(src, (re_w, re_h))) if cv2 else None),
        Case(op="faltor (padding %d)" % PADDING,
             kiro=lambda: faltor(image, mask, PADDING),
             floor=lambda: floors.mask_pass(mask), floor_name="one pass over the mask (cv::countNonZero)",
             target=2.0, cv2=(lambda: cv2.countNonZero(mask)) if cv2 else None),
        Case(op="generate_gaussian_map (%d x %d)" % (w, h),
             kiro=lambda: generate_gaussian_map((h, w), region),
             floor=lambda: numpy_gaussian_map((h, w), region), floor_name="NumPy formulation (meshgrid, exp)",
             target=0.5),
    ]
