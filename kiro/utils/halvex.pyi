from typing import Any, Sequence, Tuple, Union

import numpy as np

def generate_gaussian_map(img_size: Tuple[int, int], region: Union[Sequence[float], np.ndarray]) -> np.ndarray:
    """Gaussian heat map (float64, img_size = (height, width)) of a quadrilateral region.

    1 at the corners' mean (truncated to integers), 0.1 at a distance equal to
    the region's smaller side extent. A region of zero width or height gives
    1.0 at the centre pixel (when it lies in the map) and 0.0 elsewhere.
    `img_size` must be a tuple.
    """
    ...

def cal_sigma(dmax: float, edge_value: float) -> float:
    """sqrt(-dmax**2 / ln(edge_value))."""
    ...

def gaussian(array_like_hm: np.ndarray, mean: Any, sigma: float) -> np.ndarray:
    """exp(-((x - mx)^2 + (y - my)^2) / 2 / sigma^2) per (x, y) row.

    Subtracts `mean` from `array_like_hm` in place. float32 points give a
    float32 result, other points float64.
    """
    ...
