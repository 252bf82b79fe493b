"""Large-scale jitter of a sample with exactly clipped polygons."""

from typing import Any, Dict, List, Sequence, Tuple, Union

import numpy as np

Sample = Union[np.ndarray, Dict[str, Any]]
Range = Union[float, Tuple[float, float], List[float]]
Fill = Union[float, Sequence[float]]
Size = Union[int, Tuple[int, int], List[int]]

def scale_jitter(
    data: Sample,
    size: Size,
    scale: Range = (0.1, 2.0),
    prob: float = 1.0,
    fill: Fill = 0,
    mask_fill: float = 0,
    min_area: float = 1.0,
    min_visibility: float = 0.0,
) -> Sample:
    """Large-scale jitter of an image, or a sample record with its mask and polygons.

    Draws random() (the gate), then the scale s (random.uniform over `scale`
    or the number given); the image is resized (bilinear, mask nearest) so
    its longer side is s x max(h, w), keeping its ratio. x0 =
    random.randint(0, max(0, new W - w)), then y0 likewise, place the h x w
    window; where the resized image is smaller it is padded bottom and right
    with `fill` / `mask_fill`. Labels as in `affine`.
    """
    ...
