"""Perspective warp of a sample with exactly clipped polygons."""

from typing import Any, Dict, List, Sequence, Tuple, Union

import numpy as np

Sample = Union[np.ndarray, Dict[str, Any]]
Range = Union[float, Tuple[float, float], List[float]]
Fill = Union[float, Sequence[float]]
Size = Union[int, Tuple[int, int], List[int]]

def perspective(
    data: Sample,
    prob: float = 1.0,
    distortion: Range = (0.05, 0.1),
    interpolation: str = "linear",
    fill: Fill = 0,
    mask_fill: float = 0,
    min_area: float = 1.0,
    min_visibility: float = 0.0,
) -> Sample:
    """Perspective warp of an image, or a sample record with its mask and polygons.

    Draws random() (the gate) and warps when it is below `prob`. Each frame
    corner, (0, 0), (W, 0), (W, H), (0, H) in that order, moves inward by
    d W in x, then d H in y, each d drawn with random.uniform from
    `distortion` (8 draws; a number is used as it is). The homography takes
    the frame's corners to the moved ones. Image, mask and polygons as in
    `affine`.
    """
    ...
