from typing import List, Tuple

import numpy as np

def faltor(image: np.ndarray, mask: np.ndarray, padding: int) -> Tuple[np.ndarray, List[int]]:
    """Crop `image` to the rows and columns of `mask` that hold content.

    up = max(first row - padding, 0), down = min(last row + 1 + padding, h),
    likewise left / right. Returns (image[up:down, left:right] as a view,
    [up, left, down - up, right - left]). A mask without content raises
    IndexError.
    """
    ...
