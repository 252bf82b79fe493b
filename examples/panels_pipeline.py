"""The bundled pipeline (kiro/data/pipeline.yaml) on the sample at three seeds."""

import copy

from demo_util import overlay

import kiro
import kiro.data


def panels(sample):
    pipeline = kiro.Pipeline.from_config(kiro.data.path("pipeline.yaml"))
    record = {k: sample[k] for k in ("image", "mask", "keypoints")}
    out = []
    for seed in (1, 2, 3):
        result = pipeline(copy.deepcopy(record), seed=kiro.sample_seed(seed, 0))
        out.append(("pipeline.yaml, seed %d" % seed, overlay(result)))
    return out
