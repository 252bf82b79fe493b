"""Demo panels: a watermark with alpha pasted, and one blended by mixed cloning."""

import numpy as np

import kiro
from demo_util import overlay
from kiro.utils import _demo


def panels(sample):
    labels = {"mask": sample["mask"], "keypoints": sample["keypoints"]}
    path = sample["watermark_path"]

    # Alpha 0 shows the photo, every other pixel the watermark's colour.
    pasted = kiro.sigrel(sample["image"].copy(), path, kiro.WATERMARK_DOWNRIGHT, kiro.FIT_PASTE,
                         size_ratio=(0.35, 0.45))
    # Mixed cloning over the whole rectangle: the colour channels only, so the
    # strokes' edges carry the blend (the thin alpha strokes alone barely show).
    colour = np.ascontiguousarray(_demo.imread(path)[:, :, :3])
    mixed = kiro.sigrel(sample["image"], colour, kiro.WATERMARK_DOWN, kiro.FIT_MIX,
                        size_ratio=(0.35, 0.45))
    return [
        ("watermark: alpha, FIT_PASTE", overlay(dict(labels, image=pasted))),
        ("watermark: FIT_MIX clone", overlay(dict(labels, image=mixed))),
    ]
