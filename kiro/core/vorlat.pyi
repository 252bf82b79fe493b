"""Simulated night-time sensor noise."""

from typing import Optional

import numpy as np

def generate_noisy(image: np.ndarray, noise_typ: Optional[str]) -> Optional[np.ndarray]:
    """Add one kind of sensor noise to `image`; the input is not modified.

    noise_typ (exact, case-sensitive):

    - "gauss": image / 255 plus normal noise (mean 0, variance 0.1), times 255,
      clipped to [0, 255]; uint8 result. Needs height x width x channels.
    - "s&p": copy with the input's element type; ceil(0.004 * size * 0.5)
      elements set to 255, then as many set to 0, positions drawn per axis over
      the whole axis (numpy.random.randint). Needs three axes.
    - "poisson": Poisson(x * vals) / vals per element, vals the distinct-value
      count rounded up to a power of two; any shape; uint8 result.
    - "speckle": x + x * n, n standard normal, clipped; uint8. Needs three axes.

    Any other text or None returns None and draws nothing. A `noise_typ` of
    another type raises TypeError. The normal and Poisson fields come from a
    xoshiro256++ generator seeded by one numpy.random.randint draw, so
    numpy.random.seed reproduces a call.
    """
    ...

def create_gaussian_mask() -> None:
    """Does nothing; returns None."""
    ...
