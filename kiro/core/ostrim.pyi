from typing import Any, Dict, Optional, Sequence, Union

def ostrim(
    data: Dict[str, Any],
    bg_mask: Union[int, float] = 0,
    prob: float = 1.0,
    class_num: Optional[Union[int, float, Sequence[Any]]] = None,
    padding: Optional[Union[int, float, Sequence[int]]] = None,
    constant_size: Any = False,
) -> Dict[str, Any]:
    """Zoom a labelled sample onto one class; `data` is updated in place and returned.

    "image" is read first; the operation acts when a uniform draw is not
    greater than `prob`. `padding` as in `pandrik`. `class_num`: a number (mask
    value and polygon row index), a tuple/list (one entry at random, without
    `bg_mask` when there is a mask), or None (a random mask class, or a random
    polygon row on a keypoint-only sample).

    Image, mask and keypoints are cut to one rectangle holding the class pixels
    and that polygon plus the margin; keypoints are moved in place in the
    caller's array and the chosen row is kept (all rows when no polygon was
    chosen). The crop is scaled back to the input size when `constant_size` is
    truthy on a sample with a mask, or equal to True on a keypoint-only sample.
    Nothing selected: the record is left as it is.
    """
    ...
