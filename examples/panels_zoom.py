"""Class zooms: pandrik and ostrim on the sample, labels overlaid."""

import copy

from demo_util import overlay

import kiro


def panels(sample):
    record = {k: sample[k] for k in ("image", "mask", "keypoints")}

    def run(op, keys=("image", "mask", "keypoints"), **kwargs):
        # Fresh copies per call: the zooms write the keypoints in place.
        return overlay(op(copy.deepcopy({k: record[k] for k in keys}), **kwargs))

    return [
        ("pandrik classes 1, 2 (pad 12)", run(kiro.pandrik, class_num=[1, 2], padding=12)),
        ("pandrik random, scaled back", run(kiro.pandrik, padding=(5, 25), constant_size=True)),
        ("ostrim class 1 (pad 20)", run(kiro.ostrim, class_num=1, padding=20)),
        ("ostrim class 3, scaled back", run(kiro.ostrim, class_num=3, padding=8, constant_size=True)),
        ("ostrim polygon 0, keypoints only",
         run(kiro.ostrim, keys=("image", "keypoints"), class_num=0, padding=10, constant_size=True)),
    ]
