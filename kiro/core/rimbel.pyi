"""Random saturation and value jitter."""

import numpy as np

def hsv_transform(image: np.ndarray, fraction: float = 0.5) -> np.ndarray:
    """Scale the saturation and value planes of a BGR image by random factors.

    Two random.random() draws (saturation, then value) give
    a = (u * 2 - 1) * fraction + 1. The planes of OpenCV's HSV image are
    multiplied in 32-bit reals, clipped to [0, 255] only when a > 1
    (negative products become 0), truncated to 8 bits, and the image is
    converted back to BGR. Hue is unchanged. Returns a new
    height x width x 3 array; images the colour conversion refuses raise
    RuntimeError (OpenCV's message) before any draw.
    """
    ...
