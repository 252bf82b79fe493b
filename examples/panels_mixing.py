"""Copy-paste with its three blends, and a mosaic, on the sample."""

import random

import numpy as np

from demo_util import overlay

import kiro


def _record(sample, labels=("head", "patch", "shuttle")):
    rec = {k: sample[k].copy() for k in ("image", "mask", "keypoints")}
    rec["keypoints"] = rec["keypoints"].astype(np.float64)
    rec["labels"] = list(labels)
    return rec


def panels(sample):
    donor = _record(sample, labels=(1, 2, 3))
    out = []
    for blend in ("hard", "gaussian", "seamless"):
        random.seed(3)  # the same placement for the three blends
        rec = kiro.copy_paste(_record(sample), donor, prob=1, objects=[2, 3], scale=[0.5, 0.8], flip=1.0,
                              blend=blend, sigma=2.0)
        out.append(("copy_paste %s" % blend, overlay(rec)))
    flipped = [kiro.flip(_record(sample), prob=1, direction=d) for d in ("horizontal", "vertical", "both")]
    out.append(("mosaic of four", overlay(kiro.mosaic([_record(sample)] + flipped, size=(384, 384)))))
    return out
