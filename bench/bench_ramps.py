"""Brightness ramps beside one read-and-write pass over the image (1920 x 1080 x 3 uint8)."""

import random

import numpy as np

from harness import Case
from kiro.core.cabrol import HorizontalLight, cabrol
from kiro.core.fennick import VerticalLight, fennick
from kiro.core.KirO import LIGHT_LINEAR, LIGHT_LOG

SCALE = 60


def cases(ctx):
    img = ctx.image
    dst = np.empty_like(img)
    fl = ctx.floors("ramps")

    def floor():
        fl.copy_pass(img, dst)

    def seeded(fn):
        def run():
            random.seed(0)
            return fn()
        return run

    horizontal = HorizontalLight(1.0, LIGHT_LINEAR, SCALE)
    vertical = VerticalLight(1.0, LIGHT_LINEAR, SCALE)
    name = "copy pass (np.copyto)"
    return [
        Case(op="cabrol", kiro=seeded(lambda: cabrol(img, 1.0, SCALE)), floor=floor, floor_name=name, target=2.0),
        Case(op="cabrol LIGHT_LOG, drawn scale", kiro=seeded(lambda: cabrol(img, 1.0, None, LIGHT_LOG)),
             floor=floor, floor_name=name, target=2.0),
        Case(op="fennick", kiro=seeded(lambda: fennick(img, 1.0, SCALE)), floor=floor, floor_name=name, target=2.0),
        Case(op="HorizontalLight.do", kiro=seeded(lambda: horizontal.do(img)), floor=floor, floor_name=name,
             target=2.0),
        Case(op="VerticalLight.do", kiro=seeded(lambda: vertical.do(img)), floor=floor, floor_name=name,
             target=2.0),
    ]
