"""Class deletions beside one pass over image and mask (paint into a copy, erase in place)."""

import numpy as np

from harness import Case
from kiro.core.KirO import DELETED_FILL_MEAN
from kiro.core.murtane import murtane
from kiro.core.yelmot import yelmot

CLASS = 2  # mask class 2 and polygon row 2: the choice is fixed, so is the work


def cases(ctx):
    floors = ctx.floors("delete")
    image = ctx.image
    erased = np.empty_like(ctx.mask)

    def floor():
        floors.erase_fill(image, ctx.mask, erased, CLASS, 0)

    label = "one pass: image copy painted + mask erased"
    return [
        Case(op="murtane (mask class %d + polygon %d, mean fill)" % (CLASS, CLASS),
             kiro=lambda rec: murtane(rec, class_num=[CLASS], fill_type=DELETED_FILL_MEAN),
             setup=ctx.record, floor=floor, floor_name=label, target=2.0),
        Case(op="yelmot (class %d, mean fill)" % CLASS,
             kiro=lambda rec: yelmot(rec, class_num=CLASS, fill_type=DELETED_FILL_MEAN),
             setup=ctx.record, floor=floor, floor_name=label, target=2.0),
    ]
