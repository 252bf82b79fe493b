"""Lossy-mask repair."""

from typing import Iterable, Optional, Union

import numpy as np

def grellin(
    mask: np.ndarray,
    class_list: Optional[Iterable[Union[int, float]]] = None,
    bg_mask: Union[int, float] = 0,
    delete_thresh: Optional[float] = None,
) -> np.ndarray:
    """Repair a label mask damaged by lossy compression or interpolation.

    Every class keeps only its largest 4-connected piece, closed with a kernel
    of (height // 80) x (width // 80) pixels (3 x 3 when either side is 0),
    then painted over a mask filled with `bg_mask`; later classes overwrite
    earlier ones. Values that are not in the class list disappear.

    class_list: class values in processing order; None takes the distinct
    values of the mask, ascending, without `bg_mask`. A listed value the mask
    does not hold writes nothing; a listed 0 resets the whole result to 0.
    delete_thresh: a class whose largest piece has fewer than
    (width * delete_thresh) * (height * delete_thresh) pixels is dropped;
    None means 0.

    Returns a new mask of the input's shape and element type; `mask` is not
    modified. Raises ValueError for a mask that is not 2-D or a `bg_mask` the
    mask's type cannot hold, TypeError for non-numeric arguments.
    """
    ...
