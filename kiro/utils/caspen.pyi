from typing import Sequence, Tuple

import numpy as np

def caspen(image: np.ndarray, image2: np.ndarray, size_ratio: Sequence[float]) -> Tuple[np.ndarray, int, int]:
    """Scale `image2` to a random size relative to `image`, keeping its aspect ratio.

    The longer side of `image2` gets a random length in
    [side * size_ratio[0], side * size_ratio[1]] of the base image's same side
    (one random.randint draw); the other side follows the aspect ratio and is
    capped below the base image's side. The result has the base image's
    channel count. Returns (scaled image2, re_h, re_w).
    """
    ...
