from typing import Any, Mapping, Tuple, Union

import numpy as np

def mask2bbox(
    data: Union[Mapping[str, Any], np.ndarray], bg_mask: Union[int, float] = 0
) -> Tuple[np.ndarray, np.ndarray]:
    """Boxes of the connected pieces (8 neighbours) of every non-background class.

    Reads data["mask"] (or `data` itself when it is an array). Returns
    (boxes, classes): int32 N x 4 rows x_min, y_min, x_max, y_max (inclusive)
    and the class value of each box in the mask's element type, classes
    ascending, the pieces of one class in row-major order of their first pixel.
    """
    ...
