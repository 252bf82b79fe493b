"""A five-step pipeline beside the same five calls made directly."""

import random

import numpy as np

import harness
import kiro

STEPS = [
    {"op": "quendor", "angle": [-10, 10], "prob": 1.0},
    {"op": "yelmot", "class_num": 1, "prob": 1.0},
    {"op": "hsv_transform", "fraction": 0.3},
    {"op": "cabrol", "prob": 1.0, "light_scale": 30},
    {"op": "tremor_image"},
]


def direct(record):
    record = kiro.quendor(record, angle=[-10, 10], prob=1.0)
    record = kiro.yelmot(record, class_num=1, prob=1.0)
    record["image"] = kiro.hsv_transform(record["image"], fraction=0.3)
    record["image"] = kiro.cabrol(record["image"], prob=1.0, light_scale=30)
    record["image"] = kiro.tremor_image(record["image"])
    return record


def cases(ctx):
    pipe = kiro.Pipeline(STEPS)

    def unseeded_direct():
        random.seed(0)
        return direct(ctx.record())

    def unseeded_pipe():
        random.seed(0)
        return pipe(ctx.record())

    def seeded_direct():
        random.seed(12345)
        np.random.seed(12345)
        return direct(ctx.record())

    return [
        harness.Case(op="Pipeline, 5 steps", kiro=unseeded_pipe, floor=unseeded_direct,
                     floor_name="the 5 calls directly", target=1.05),
        harness.Case(op="Pipeline, 5 steps, seed=", kiro=lambda: pipe(ctx.record(), seed=12345),
                     floor=seeded_direct, floor_name="seeding + the 5 calls", target=1.05),
    ]
