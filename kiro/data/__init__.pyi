from typing import Dict

import numpy as np

def path(name: str) -> str:
    """Absolute path of a bundled file ("sample.jpg", "texture_brick.jpg", "watermark.png", ...)."""

def load_sample() -> Dict[str, np.ndarray]:
    """The sample record {"image", "mask", "keypoints"}: a 512 x 512 BGR photograph, its uint8
    class mask (1 head, 2 mission patch, 3 model shuttle) and int32 polygons, one row each."""
