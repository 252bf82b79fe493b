"""Class zooms (constant_size True) beside one crop-and-resize of image and mask."""

import numpy as np

from harness import Case
import peers
from kiro.core.ostrim import ostrim
from kiro.core.pandrik import pandrik
from kiro.utils.kp2mask import kp2mask

try:
    import cv2
except ImportError:
    cv2 = None

CLASS = 2     # mask class 2 and polygon 2: the zooms' choice is fixed, so is the crop
PADDING = 16


def _rect(ctx):
    """The rectangle both zooms cut: class pixels and polygon, plus the margin."""
    rec = ctx.record()
    sel = (rec["mask"] == CLASS) | (kp2mask(rec, [CLASS], one_class_only=True) != 0)
    rows, cols = np.nonzero(sel.any(1))[0], np.nonzero(sel.any(0))[0]
    h, w = sel.shape
    top, left = max(rows[0] - PADDING, 0), max(cols[0] - PADDING, 0)
    down, right = min(rows[-1] + 1 + PADDING, h), min(cols[-1] + 1 + PADDING, w)
    return int(top), int(left), int(down - top), int(right - left)


def cases(ctx):
    floors = ctx.floors("zoom")
    image, mask = ctx.image, ctx.mask
    top, left, h, w = _rect(ctx)
    size = (image.shape[1], image.shape[0])

    def cv2_crop_resize():
        cv2.resize(image[top:top + h, left:left + w], size, interpolation=cv2.INTER_CUBIC)
        cv2.resize(mask[top:top + h, left:left + w], size, interpolation=cv2.INTER_NEAREST)

    floor = lambda: floors.crop_resize(image, mask, top, left, h, w)
    label = "crop + cv::resize (cubic image, nearest mask)"
    peer_name, peer = peers.crop_resize(image, mask, (top, left, h, w), image.shape[:2])
    return [
        Case(op="pandrik constant_size (class %d, %d x %d crop)" % (CLASS, w, h),
             kiro=lambda rec: pandrik(rec, class_num=[CLASS], padding=PADDING, constant_size=True),
             setup=ctx.record, floor=floor, floor_name=label, target=1.0,
             cv2=cv2_crop_resize if cv2 else None, peer=peer, peer_name=peer_name),
        Case(op="ostrim constant_size (class %d, %d x %d crop)" % (CLASS, w, h),
             kiro=lambda rec: ostrim(rec, class_num=CLASS, padding=PADDING, constant_size=True),
             setup=ctx.record, floor=floor, floor_name=label, target=1.0,
             cv2=cv2_crop_resize if cv2 else None, peer=peer, peer_name=peer_name),
    ]
