from typing import Union

import numpy as np

def fill_in(image: np.ndarray, region: np.ndarray, fill_type: Union[str, int]) -> np.ndarray:
    """Paint the pixels of `image` where `region` is non-zero; return a new image.

    fill_type: DELETED_FILL_MEAN (per-channel mean of the region's pixels),
    DELETED_FILL_RANDOM (Gaussian noise, mean 128 / deviation 64 for integer
    images, 0.5 / 0.25 for real ones, seeded by one random.getrandbits(64)
    draw) or an integer value. Pixels outside the region keep their values.
    """
    ...
