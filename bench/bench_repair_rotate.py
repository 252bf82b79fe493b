"""Mask repair beside one labelling and one closing per class; slight rotation
beside two warps (image bilinear, mask nearest)."""

import numpy as np

from harness import Case
import peers
from kiro.core.grellin import grellin
from kiro.core.quendor import quendor

try:
    import cv2
except ImportError:
    cv2 = None

ANGLE = 10


def _cv2_repair(mask, classes, kernel):
    """The per-class steps with cv2 and NumPy, full size."""
    out = np.zeros_like(mask)
    ph, pw = kernel.shape
    for c in classes:
        work = np.where(mask == c, mask, 0).astype(np.uint8)
        n, labels, stats, _ = cv2.connectedComponentsWithStats(work, connectivity=4)
        if n > 1:
            best = 1 + int(np.argmax(stats[1:, cv2.CC_STAT_AREA]))
            work[labels != best] = 0
        work = cv2.copyMakeBorder(work, ph, ph, pw, pw, cv2.BORDER_CONSTANT, value=0)
        work = cv2.morphologyEx(work, cv2.MORPH_CLOSE, kernel)[ph:ph + mask.shape[0], pw:pw + mask.shape[1]]
        out[work == c] = c
    return out


def cases(ctx):
    floors = ctx.floors("repair_rotate")
    image, mask = ctx.image, ctx.mask
    h, w = mask.shape
    classes = [int(c) for c in np.unique(mask) if c != 0]
    binaries = [(mask == c).astype(np.uint8) for c in classes]
    pad_h, pad_w = h // 80, w // 80
    kernel = np.ones((pad_h, pad_w), np.uint8)
    M = cv2.getRotationMatrix2D((w / 2, h / 2), ANGLE, 1.0) if cv2 else None

    def cv2_rotate():
        cv2.warpAffine(image, M, (w, h))
        cv2.warpAffine(mask, M, (w, h), flags=cv2.INTER_NEAREST)

    rotate_name, rotate_peer = peers.rotate(image, mask, ANGLE)
    return [
        Case(op="grellin (%d classes, %d x %d kernel)" % (len(classes), pad_h, pad_w),
             kiro=lambda: grellin(mask),
             floor=lambda: floors.repair(binaries, pad_h, pad_w),
             floor_name="connectedComponentsWithStats + morphologyEx per class", target=1.3,
             cv2=(lambda: _cv2_repair(mask, classes, kernel)) if cv2 else None),
        Case(op="quendor %d deg (image, mask, 4 polygons)" % ANGLE,
             kiro=lambda rec: quendor(rec, ANGLE, prob=1),
             setup=ctx.record,
             floor=lambda: floors.rotate(image, mask, ANGLE),
             floor_name="2 x warpAffine (bilinear image, nearest mask)", target=1.3,
             cv2=cv2_rotate if cv2 else None, peer=rotate_peer, peer_name=rotate_name),
    ]
