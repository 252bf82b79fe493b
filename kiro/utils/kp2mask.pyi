from typing import Any, Mapping, Optional, Sequence, Union

import numpy as np

def kp2mask(
    data: Mapping[str, Any],
    classes: Optional[Union[int, Sequence[int], np.ndarray]] = None,
    one_class_only: bool = True,
) -> np.ndarray:
    """Rasterise keypoint polygons of a record into a mask of its image's size.

    `classes` chooses polygon rows: None for all, an index, or a list of indices
    (an empty list gives an all-zero mask). With one_class_only true the result
    is a uint8 H x W mask, 1 on the chosen polygons; with it false, row i is
    painted i + 1 (uint8 up to 255 polygons, else uint16 or int32).
    """
    ...
