"""Class removal: delete some labelled classes from a sample record."""

from typing import Any, Dict, Optional, Sequence, Union

from .KirO import *  # noqa: F401,F403
from ..utils.fill_in import fill_in as fill_in
from ..utils.kp2mask import kp2mask as kp2mask

def murtane(
    data: Dict[str, Any],
    class_num: Optional[Union[int, Sequence[Any]]] = None,
    bg_mask: Union[int, float] = 0,
    prob: float = 1.0,
    fill_type: Union[str, int] = ...,
) -> Dict[str, Any]:
    """Remove some labelled classes from `data`, in place; returns `data`.

    `data` holds "image" and "mask" and/or "keypoints". With probability
    `prob` (one random() draw; above `prob` the record is returned untouched)
    each chosen class is painted over with fill_in(image, region, fill_type),
    its mask pixels become `bg_mask` (in the caller's mask array) and its
    polygon row is dropped from "keypoints" (a new array).

    `class_num`: None deletes a random number of random classes (randint for
    the count, then sample); an integer deletes that many (all when larger
    than their number); a non-empty tuple or list names them: mask values for
    the mask, polygon row indices for the keypoints. Mask classes are the
    distinct values other than `bg_mask`; a class no longer in the mask is
    skipped. Polygon indices are walked ascending, each once, negative ones
    dropped; index c at walk position p removes row c - p of the shortened
    array, and is skipped when that row does not exist.

    `fill_type`: DELETED_FILL_MEAN (default), DELETED_FILL_RANDOM or an
    integer fill value.

    Raises Exception("Wrong class_num type: it should be a tuple/list that not
    contains bg_mask.") for an empty tuple/list, one containing `bg_mask`
    while the record has a mask, or a class_num of any other type.
    """
    ...
