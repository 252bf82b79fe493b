"""Affine warp of a sample with exactly clipped polygons."""

from typing import Any, Dict, List, Sequence, Tuple, Union

import numpy as np

Sample = Union[np.ndarray, Dict[str, Any]]
Range = Union[float, Tuple[float, float], List[float]]
Fill = Union[float, Sequence[float]]
Size = Union[int, Tuple[int, int], List[int]]

def affine(
    data: Sample,
    prob: float = 1.0,
    rotate: Range = 0,
    scale: Range = 1,
    translate: Range = 0,
    shear: Range = 0,
    interpolation: str = "linear",
    fill: Fill = 0,
    mask_fill: float = 0,
    min_area: float = 1.0,
    min_visibility: float = 0.0,
) -> Sample:
    """Affine warp of an image, or a sample record with its mask and polygons.

    Draws random() (the gate) and warps when it is below `prob`. Then one
    random.uniform(min, max) for each of rotate, scale, translate (x, then y)
    and shear (x, then y) given as [min, max]; a number is used as it is.
    rotate: degrees, positive counter-clockwise on screen; scale: factor;
    translate: fraction of width and height; shear: degrees. In continuous
    coordinates, with c = (W/2, H/2): p' = A (p - c) + c + (tx W, ty H),
    A = R(rotate) S(scale) Sh(shear), R S as in cv::getRotationMatrix2D,
    Sh = [[1, tan shear_x], [tan shear_y, 1]].

    The image is warped with `interpolation` ("nearest", "linear", "cubic")
    and `fill` (a number or one per channel), the mask with nearest-neighbour
    and `mask_fill`. Polygons are mapped in double precision and clipped
    exactly to the frame; pieces below `min_area` square pixels are dropped,
    a polygon with less than `min_visibility` of its area inside is dropped
    whole. "labels" follow the rows, "bbox" is recomputed; integer keypoints
    are rounded to the nearest integer.

    Raises ValueError / TypeError for bad arguments (scale <= 0,
    min_visibility outside [0, 1], unknown interpolation), labels of the
    wrong length or non-finite coordinates, before anything changes.
    """
    ...
