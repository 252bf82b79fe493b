from typing import Any, Dict, Optional, Sequence, Union

def pandrik(
    data: Dict[str, Any],
    bg_mask: Union[int, float] = 0,
    prob: float = 1.0,
    class_num: Optional[Union[int, Sequence[Any]]] = None,
    padding: Optional[Union[int, float, Sequence[int]]] = None,
    constant_size: Any = False,
) -> Dict[str, Any]:
    """Zoom a labelled sample onto some of its classes; `data` is updated in place and returned.

    Acts when a uniform draw is not greater than `prob`. `padding`: a number
    (truncated) or a tuple/list whose first two entries bound a random margin;
    anything else is 0. `class_num`: None (random count, then random classes),
    an integer (that many at random, all when larger), or a tuple/list of mask
    values / polygon row indices (without `bg_mask` when there is a mask).

    Image, mask and keypoints are cut to one rectangle holding the chosen mask
    classes and polygons plus the margin; keypoints are moved in place in the
    caller's array and only the chosen rows are kept (all rows when none was
    chosen). With `constant_size == True` the crop is scaled back to the input
    size (bicubic image, nearest mask). Nothing selected: the record is left
    as it is.
    """
    ...
