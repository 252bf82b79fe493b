"""Resize of a sample with its labels, optionally letterboxed."""

from typing import Any, Dict, List, Sequence, Tuple, Union

import numpy as np

Sample = Union[np.ndarray, Dict[str, Any]]
Range = Union[float, Tuple[float, float], List[float]]
Fill = Union[float, Sequence[float]]
Size = Union[int, Tuple[int, int], List[int]]

def resize(
    data: Sample,
    size: Size,
    keep_ratio: bool = False,
    letterbox: bool = False,
    interpolation: str = "linear",
    fill: Fill = 0,
    mask_fill: float = 0,
) -> Sample:
    """Resize an image, or a sample record with its mask and polygons.

    `size` (h, w): exactly that size; an integer: the longer side.
    `keep_ratio` fits inside (h, w); `letterbox` fits, then pads centred to
    exactly (h, w) with `fill` / `mask_fill`. Sizes round to the nearest
    integer. `interpolation`: "nearest", "linear", "cubic" or "area"; the
    mask always nearest-neighbour. Polygons scale by the image's own factors.
    No draws.
    """
    ...
