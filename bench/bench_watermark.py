"""Watermark: seamless cloning beside the single clone call, direct paste beside one image copy."""

import numpy as np

from bench_paste import check_clone
from harness import Case
from kiro.core.KirO import FIT_NORMAL, FIT_PASTE, WATERMARK_CENTER
from kiro.core.sigrel import sigrel
from kiro.utils.caspen import caspen

try:
    import cv2
except ImportError:
    cv2 = None

CLONE_RATIO = (0.25, 0.25)  # fixed size: kiro and the floor clone the same area
PASTE_RATIO = (0.5, 0.5)    # the largest watermark of the default range


def _watermark(image):
    """A 300 x 600 photo patch, flipped so it differs from what lies under it."""
    return np.ascontiguousarray(image[100:400, 200:800][::-1, ::-1])


def _with_alpha(wm):
    alpha = np.zeros(wm.shape[:2], np.uint8)
    alpha[30:-30, 60:-60] = 255
    return np.ascontiguousarray(np.dstack([wm, alpha]))


def _clone_row(ctx, floors, wm, ratio, label):
    """sigrel FIT_NORMAL with a centred watermark beside one cv::seamlessClone of the same inputs."""
    image = ctx.image
    scaled, re_h, re_w = caspen(image, wm, ratio)
    top, left = image.shape[0] // 2 - re_h // 2, image.shape[1] // 2 - re_w // 2
    center = (left + re_w // 2, top + re_h // 2)
    mask = np.full(scaled.shape, 255, np.uint8)
    normal_clone = 1  # cv::NORMAL_CLONE
    out = sigrel(image, wm, WATERMARK_CENTER, FIT_NORMAL, 1.0, ratio)
    check_clone(out, floors.seamless_clone(scaled, image, mask, center[0], center[1], normal_clone), "sigrel", image)
    return Case(op="sigrel FIT_NORMAL (%d x %d %s)" % (re_w, re_h, label),
                kiro=lambda: sigrel(image, wm, WATERMARK_CENTER, FIT_NORMAL, 1.0, ratio),
                floor=lambda: floors.seamless_clone(scaled, image, mask, center[0], center[1], normal_clone),
                floor_name="cv::seamlessClone", target=0.35,
                cv2=(lambda: cv2.seamlessClone(scaled, image, mask, center, cv2.NORMAL_CLONE)) if cv2 else None)


def cases(ctx):
    floors = ctx.floors("watermark")
    image = ctx.image
    wm = _watermark(image)

    pasted = image.copy()  # the paste writes in place: keep the shared sample intact
    wm_alpha = _with_alpha(wm)

    return [
        _clone_row(ctx, floors, wm, CLONE_RATIO, "watermark"),
        # a 960 x 540 and a 961 x 541 patch: sides of smooth and of large prime factors alike
        _clone_row(ctx, floors, np.ascontiguousarray(image[:540, :960][::-1]), (0.5, 0.5), "patch"),
        _clone_row(ctx, floors, np.ascontiguousarray(image[:541, :961][::-1]), (961.5 / 1920, 961.5 / 1920), "patch"),
        Case(op="sigrel FIT_PASTE (960 x 480 watermark)",
             kiro=lambda: sigrel(pasted, wm, WATERMARK_CENTER, FIT_PASTE, 1.0, PASTE_RATIO),
             floor=lambda: floors.copy(image), floor_name="image copy", target=4.0),
        Case(op="sigrel FIT_PASTE, alpha (960 x 480 watermark)",
             kiro=lambda: sigrel(pasted, wm_alpha, WATERMARK_CENTER, FIT_PASTE, 1.0, PASTE_RATIO),
             floor=lambda: floors.copy(image), floor_name="image copy", target=4.0),
    ]
