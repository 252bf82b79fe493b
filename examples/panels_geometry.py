"""The geometric operations on the sample, polygons outlined before and after."""

import numpy as np

from demo_util import overlay

import kiro


def _record(sample):
    rec = {k: sample[k].copy() for k in ("image", "mask", "keypoints")}
    rec["keypoints"] = rec["keypoints"].astype(np.float64)
    return rec


def panels(sample):
    steps = [
        ("flip horizontal", lambda r: kiro.flip(r, prob=1)),
        ("affine 25 deg, x1.3, shear 8", lambda r: kiro.affine(r, rotate=25, scale=1.3, shear=8)),
        ("perspective [0.05, 0.25]", lambda r: kiro.perspective(r, distortion=[0.05, 0.25])),
        ("crop 200x200 around an object", lambda r: kiro.crop(r, size=(200, 200), position="objects")),
        ("letterbox 200x320", lambda r: kiro.resize(r, size=(200, 320), letterbox=True)),
        ("scale_jitter 256, x1.6", lambda r: kiro.scale_jitter(r, size=(256, 256), scale=1.6)),
    ]
    out = [("geometry: before", overlay(_record(sample)))]
    for title, step in steps:
        out.append((title, overlay(step(_record(sample)))))
    return out
