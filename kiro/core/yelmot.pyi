"""Single-class removal: delete one labelled class from a sample record."""

from typing import Any, Dict, Optional, Sequence, Union

from .KirO import *  # noqa: F401,F403
from ..utils.fill_in import fill_in as fill_in
from ..utils.kp2mask import kp2mask as kp2mask

def yelmot(
    data: Dict[str, Any],
    class_num: Optional[Union[int, float, Sequence[Any]]] = None,
    bg_mask: Union[int, float] = 0,
    prob: float = 1.0,
    fill_type: Union[str, int] = ...,
) -> Dict[str, Any]:
    """Remove one labelled class from `data`, in place; returns `data`.

    `data` holds "image" and "mask" and/or "keypoints". With probability
    `prob` (one random() draw; above `prob` the record is returned untouched)
    the class is painted over with fill_in(image, region, fill_type), its mask
    pixels become `bg_mask` (in the caller's mask array) and its polygon row
    is dropped from "keypoints" (a new array).

    `class_num`: a number is the mask value and the keypoint row index
    (negative rows count from the end); a non-empty tuple or list gives one
    of its entries at random (choice); anything else, None included, lets the
    operation choose a random mask value other than `bg_mask` (then also used
    as the row index) or, without a mask, a random row (randint). A class
    absent from the mask, or a row not below the number of rows, leaves that
    label unchanged.

    `fill_type`: DELETED_FILL_MEAN (default), DELETED_FILL_RANDOM or an
    integer fill value.

    Raises Exception("Wrong class_num type: it should be a number or a
    tuple/list that not contains bg_mask.") for an empty tuple/list or one
    containing `bg_mask` while the record has a mask.
    """
    ...
