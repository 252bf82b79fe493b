"""Class deletions: murtane and yelmot on the sample, labels overlaid."""

import copy

from demo_util import overlay

import kiro


def panels(sample):
    record = {k: sample[k] for k in ("image", "mask", "keypoints")}

    def run(op, keys=("image", "mask", "keypoints"), **kwargs):
        # Fresh copies per call: the deletions change the mask in place.
        return overlay(op(copy.deepcopy({k: record[k] for k in keys}), **kwargs))

    return [
        ("murtane class 2, mean fill", run(kiro.murtane, keys=("image", "mask"), class_num=[2])),
        ("murtane random classes, noise",
         run(kiro.murtane, keys=("image", "mask"), fill_type=kiro.DELETED_FILL_RANDOM)),
        ("murtane [1]: class 1, row 1, fill 0", run(kiro.murtane, class_num=[1], fill_type=0)),
        ("murtane 2 polygons, mean", run(kiro.murtane, keys=("image", "keypoints"), class_num=2)),
        ("yelmot class 3, mean fill", run(kiro.yelmot, class_num=3)),
        ("yelmot random polygon, noise",
         run(kiro.yelmot, keys=("image", "keypoints"), fill_type=kiro.DELETED_FILL_RANDOM)),
    ]
