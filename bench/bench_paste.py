"""Underlay and occluding paste: seamless cloning beside the single clone call the
operation makes, direct paste beside one image copy."""

import random

import numpy as np

from harness import Case
from kiro.core.KirO import COPY_INTER, FIT_NORMAL, FIT_PASTE, OCCLUSION_INTER
from kiro.core.belmost import belmost
from kiro.core.trevane import trevane
from kiro.utils.caspen import caspen

try:
    import cv2
except ImportError:
    cv2 = None

CLONE_RATIO = (0.25, 0.25)  # fixed patch size: kiro and the floor clone the same area
NORMAL_CLONE = 1            # cv::NORMAL_CLONE


def _source(image):
    """A 300 x 600 photo patch as the array source, flipped so it differs from what lies under it."""
    return np.ascontiguousarray(image[100:400, 200:800][::-1, ::-1])


def _three_objects(mask):
    return np.where(mask > 3, 0, mask).astype(np.uint8)


def _light(r):
    a, b = r.uniform(0.8, 0.98), r.uniform(1.02, 1.2)
    scale = r.choice([a, b])
    c, d = r.uniform(-10, -5), r.uniform(5, 10)
    return scale, r.choice([c, d])


def _inter(r, obj, h, w, underlay):
    H, W = obj.shape
    rows, cols = np.flatnonzero(obj.any(1)).tolist(), np.flatnonzero(obj.any(0)).tolist()
    rows, cols = (rows if len(rows) > 1 else [0, H]), (cols if len(cols) > 1 else [0, W])
    more, first = (1, cols[1]) if underlay else (0, cols[0])
    x = r.randint(max(first - w - more, 0), min(W - w, cols[-1]))
    return x, r.randint(max(rows[0] - h - more, 0), min(H - h, rows[-1]))


def _clone_mask(obj):
    """The underlay clone mask: background 255, object-touching border strips cleared."""
    mc = np.where(obj, 0, 255).astype(np.uint8)
    h, w = mc.shape
    for strip, n in ((np.s_[:4], w), (np.s_[-4:], w), (np.s_[:, :4], h), (np.s_[:, -4:], h)):
        if mc[strip].sum() < 255 * 4 * n:
            mc[strip] = 0
    if mc.sum() < 255 * 4 * w or mc.sum() < 255 * 4 * h:
        mc[:] = 255
    return mc


def _clone_inputs(image, obj, source, seed, underlay):
    """(patch, clone mask, centre) that the operation hands to cv::seamlessClone for this seed."""
    random.seed(seed)
    random.random()
    tex, h, w = caspen(image, source, CLONE_RATIO)
    scale, shift = _light(random)
    x, y = _inter(random, obj, h, w, underlay)
    patch = np.clip(tex[:, :, :3] * scale + shift, 0, 255).astype(np.uint8)
    mask = _clone_mask(obj[y:y + h, x:x + w]) if underlay else np.full((h, w), 255, np.uint8)
    return patch, mask, (x + w // 2, y + h // 2)


def check_clone(out, floor_out, name, image):
    """kiro's clone against cv::seamlessClone's: never more than 2 levels apart, and identical on at
    least 99 % of the cloned pixels (those either clone changed)."""
    diff = np.abs(out.astype(np.int16) - floor_out.astype(np.int16))
    cloned = (out != image) | (floor_out != image)
    assert diff.max() <= 2, "%s: a pixel %d levels from the floor's clone" % (name, diff.max())
    share = (diff[cloned] == 0).mean() if cloned.any() else 1.0
    assert share >= 0.99, "%s: only %.2f %% of the cloned pixels equal the floor's" % (name, 100 * share)


def _clone_case(name, op, mode, underlay, ctx, mask, source, floors):
    image, obj = ctx.image, mask != 0
    for seed in range(50):  # a placement whose clone area fits in the image
        random.seed(seed)
        try:
            out = op({"image": image, "mask": mask}, 1.0, mode, FIT_NORMAL, source, 0, CLONE_RATIO)["image"]
            break
        except RuntimeError:
            continue
    patch, clone_mask, (cx, cy) = _clone_inputs(image, obj, source, seed, underlay)
    floor_out = floors.seamless_clone(patch, image, clone_mask, cx, cy, NORMAL_CLONE)
    if underlay:
        floor_out[obj] = image[obj]
    check_clone(out, floor_out, name, image)

    def run():
        random.seed(seed)
        op({"image": image, "mask": mask}, 1.0, mode, FIT_NORMAL, source, 0, CLONE_RATIO)

    return Case(op="%s FIT_NORMAL (%d x %d patch)" % (name, patch.shape[1], patch.shape[0]),
                kiro=run, floor=lambda: floors.seamless_clone(patch, image, clone_mask, cx, cy, NORMAL_CLONE),
                floor_name="cv::seamlessClone", target=0.35,
                cv2=(lambda: cv2.seamlessClone(patch, image, clone_mask, (cx, cy), cv2.NORMAL_CLONE)) if cv2 else None)


def _paste_case(name, op, mode, ratio, ctx, mask, source, floors):
    image = ctx.image

    def run():
        random.seed(0)
        op({"image": image, "mask": mask}, 1.0, mode, FIT_PASTE, source, 0, ratio)

    random.seed(0)
    random.random()
    _, h, w = caspen(image, source, ratio)
    return Case(op="%s FIT_PASTE (%d x %d patch)" % (name, w, h), kiro=run,
                floor=lambda: floors.copy(image), floor_name="image copy", target=4.0)


def cases(ctx):
    floors = ctx.floors("paste")
    mask = _three_objects(ctx.mask)
    source = _source(ctx.image)
    return [
        _clone_case("belmost", belmost, COPY_INTER, True, ctx, mask, source, floors),
        _clone_case("trevane", trevane, OCCLUSION_INTER, False, ctx, mask, source, floors),
        # the middle and the largest patch of belmost's default size range, the largest of trevane's
        _paste_case("belmost", belmost, COPY_INTER, (0.5, 0.5), ctx, mask, source, floors),
        _paste_case("belmost", belmost, COPY_INTER, (0.84375, 0.84375), ctx, mask, source, floors),
        _paste_case("trevane", trevane, OCCLUSION_INTER, (0.15625, 0.15625), ctx, mask, source, floors),
    ]
