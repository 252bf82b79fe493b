"""Row brightness ramp: one offset per row, from one end of the light range
at the top row to the other at the bottom row."""

from typing import Any, Sequence, Union

import numpy as np

from kiro.core.KirO import *  # noqa: F401,F403  (received through kiro.utils.nuvaro)
from kiro.utils.nuvaro import light_space_process as light_space_process

LightScale = Union[int, float, Sequence[float]]

class VerticalLight:
    """Row brightness ramp with fixed settings (not checked until `do` runs)."""

    prob: Any
    space_type: Any
    light_scale: Any

    def __init__(self, prob: float = 0.5, space_type: int = ..., light_scale: LightScale = 50) -> None:
        """Keep `prob`, `space_type` (default LIGHT_LINEAR) and `light_scale` as attributes."""
    def do(self, image: np.ndarray) -> np.ndarray:
        """With probability `prob` (one random.random() draw, acting when it is less
        than `prob`) add light_space_process(space_type, light_scale, height)[i] to
        every pixel and channel of row i in double precision, clip to 0..255 and
        convert back to the image's element type, in a new array. Otherwise return
        `image` itself. 2 or 3 axes, else Exception("Wrong image chanel!") after the
        run is computed. The input is never modified."""

def fennick(
    image: np.ndarray,
    prob: float = 0.5,
    light_scale: Union[LightScale, None] = None,
    space_type: int = ...,
) -> np.ndarray:
    """VerticalLight(prob, space_type, light_scale).do(image); with `light_scale`
    None the scale is drawn first from MEAN, the truncated mean of all elements:
    randint(-MEAN, MEAN) for LIGHT_LINEAR; for LIGHT_LOG one of random(),
    -random() and randint(-MEAN, MEAN), all three drawn, picked by random.choice
    (a drawn 0 gives a run of zeros)."""
