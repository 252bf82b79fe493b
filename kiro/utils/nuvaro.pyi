from typing import Any, List, Tuple, Union

import numpy as np

COPY_INTER: int
COPY_MASK_EDGE: int
COPY_IMAGE_EDGE: int
COPY_RANDOM: int
OCCLUSION_INTER: int
OCCLUSION_EDGDE: int
OCCLUSION_RANDOM: int
FIT_PASTE: int
FIT_NORMAL: int
FIT_MIX: int
FIT_MONO: int
FIT_RANDOM: int
WATERMARK_UPLEFT: int
WATERMARK_UP: int
WATERMARK_UPRIGHT: int
WATERMARK_CENTER: int
WATERMARK_DOWNLEFT: int
WATERMARK_DOWN: int
WATERMARK_DOWNRIGHT: int
WATERMARK_RANDOM_ANCHOR: int
WATERMARK_RANDOM_ALL: int
LIGHT_LINEAR: int
LIGHT_LOG: int
DELETED_FILL_MEAN: str
DELETED_FILL_RANDOM: str

def light_space_process(
    space_type: Any,
    light_scale: Union[float, int, Tuple[float, float], List[float]],
    length: int,
) -> np.ndarray:
    """A float64 run of `length` brightness offsets, index 0 first.

    A single number s: LIGHT_LINEAR gives linspace(-s, s, length); LIGHT_LOG a
    logarithmic run built from ln(s) and ln(1/s) used as base-10 exponents
    (s = 0 raises ZeroDivisionError). A pair: linspace / logspace of its two
    entries. The values equal numpy.linspace / numpy.logspace bit for bit.
    Raises Exception for an unknown space_type, a sequence shorter than two
    or any other light_scale.
    """
    ...
