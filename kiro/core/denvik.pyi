"""Night photo simulation: darkening, then normal noise."""

from typing import Union

import numpy as np

def denvik_transform(image: np.ndarray, init_delta: Union[int, float]) -> np.ndarray:
    """_generate_denvik(_dwn_brightness(image, init_delta)) as one pass; new uint8 array.

    Draws in order: numpy.random.uniform (offset), random.choice (noise
    strength), numpy.random.normal (field). `image` must be
    height x width x channels (ValueError otherwise, after the darkening draw).
    """
    ...

def _dwn_brightness(image: np.ndarray, init_delta: Union[int, float] = 32) -> np.ndarray:
    """Darkened uint8 copy of `image` (any shape).

    Prints "Warning! init_delta should be larger than 50 that get better
    effect." to sys.stdout when init_delta < 50. Adds one
    numpy.random.uniform(-init_delta, -init_delta + init_delta // 5) draw to
    every element, clips to [0, 255] and truncates.
    """
    ...

def _generate_denvik(image: np.ndarray) -> np.ndarray:
    """Noisy uint8 copy of a height x width x channels `image`.

    var = random.choice([0.05, 0.03, 0.01]); the field is
    numpy.random.normal(0, var ** 0.5, image.shape), added to image / 255,
    then times 255, clipped to [0, 255] and truncated.
    """
    ...
