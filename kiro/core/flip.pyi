"""Flip of a sample with its labels."""

from typing import Any, Dict, List, Sequence, Tuple, Union

import numpy as np

Sample = Union[np.ndarray, Dict[str, Any]]
Range = Union[float, Tuple[float, float], List[float]]
Fill = Union[float, Sequence[float]]
Size = Union[int, Tuple[int, int], List[int]]

def flip(data: Sample, prob: float = 0.5, direction: str = "horizontal") -> Sample:
    """Flip an image, or a sample record with its mask and polygons.

    Draws random() (the gate) and flips when it is below `prob`; otherwise
    `data` comes back untouched. `direction`: "horizontal", "vertical" or
    "both". Vertices go through the image's own transform in continuous
    coordinates (x' = W - x, y' = H - y), are clipped to the frame and
    reversed, so clockwise polygons stay clockwise; "labels" follow their
    rows and a "bbox" entry is recomputed.

    Raises ValueError for an unknown direction, TypeError / ValueError for
    ill-formed arrays or labels, before anything changes. Returns the new
    image for a bare image, else `data` updated in place.
    """
    ...
