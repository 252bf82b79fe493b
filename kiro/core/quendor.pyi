"""Slight rotation of a sample with its labels."""

from typing import Any, Dict, List, Tuple, Union

def quendor(
    data: Dict[str, Any],
    angle: Union[int, Tuple[int, int], List[int], None],
    prob: float = 0.5,
    bg_mask: Union[int, float] = 0,
    use_bbox: bool = False,
) -> Dict[str, Any]:
    """Rotate a sample's image, mask and keypoints about the image centre.

    Draws random(); when it exceeds `prob` nothing is rotated, and with
    `use_bbox` true the boxes of the labels as they are are stored. Otherwise
    the angle is `angle` clipped to [-45, 45] when it is an integer (a bool
    counts as 0 or 1), or randint(max(-45, angle[0]), min(45, angle[1])) when
    it is a (min, max) tuple or list; positive angles turn counter-clockwise
    on screen.

    The image is warped with bilinear interpolation and a black border, the
    mask with nearest-neighbour interpolation and `bg_mask` in the uncovered
    corners (no new class values appear), and the keypoints (x, y pairs) are
    turned, clipped to [0, w] and [0, h] and stored as int32 in their shape.
    With `use_bbox` true, "bbox" and "bbox_index" receive
    mask2bbox(data, bg_mask) of the turned mask, then (replacing them) quarnet
    of the turned keypoints with indices 0..n-1.

    Raises Exception "No type of label is found, it should either be
    keypoints, mask or both", "No angle found.", "Wrong angle boundary." or
    "Wrong data type of angle, it should be a integer in (0,45) or a
    (min,max) tuple/list."; ValueError or TypeError for an image that is not
    3-D, a mask of the wrong shape or type, keypoints with an odd number of
    columns. Returns `data`, updated in place.
    """
    ...
