"""Crop of a sample to a fixed window, labels clipped exactly."""

from typing import Any, Dict, List, Sequence, Tuple, Union

import numpy as np

Sample = Union[np.ndarray, Dict[str, Any]]
Range = Union[float, Tuple[float, float], List[float]]
Fill = Union[float, Sequence[float]]
Size = Union[int, Tuple[int, int], List[int]]

def crop(
    data: Sample,
    size: Size,
    prob: float = 1.0,
    position: str = "random",
    fill: Fill = 0,
    mask_fill: float = 0,
    bg_mask: float = 0,
    min_area: float = 1.0,
    min_visibility: float = 0.0,
) -> Sample:
    """Crop an image, or a sample record with its mask and polygons, to `size` (h, w).

    Draws random() (the gate) and crops when it is below `prob`. Offsets
    range over [min(0, W - w), max(0, W - w)] (and likewise in y); negative
    offsets or a window past the image pad with `fill` / `mask_fill`.
    position "random": random.randint for x0, then y0; "center":
    (W - w) // 2, (H - h) // 2; "objects": random.randrange picks a polygon
    row reaching into the image (else a pixel of a mask class other than
    `bg_mask`), then x0, y0 are drawn among windows holding its box. A window
    inside the image gives views of the input arrays.
    """
    ...
