"""The bundled sample: a photograph with a mask and polygons of three objects.

The photograph is NASA's portrait of astronaut Eileen Collins (public domain);
the brick texture is CC0; the watermark is kiro's own. See README.md here.
"""

import os

import numpy as np

_HERE = os.path.dirname(os.path.abspath(__file__))


def path(name):
    """Absolute path of a bundled file ("sample.jpg", "texture_brick.jpg", ...)."""
    return os.path.join(_HERE, name)


def load_sample():
    """The sample record: {"image": H x W x 3 BGR uint8, "mask": H x W uint8 with
    classes 1 (head), 2 (mission patch), 3 (model shuttle), "keypoints": int32
    rows x1, y1, x2, y2, ... one polygon per object}."""
    from kiro.utils._demo import imread

    image = imread(path("sample.jpg"))
    mask = imread(path("sample_mask.png"))
    keypoints = np.loadtxt(path("sample_keypoints.txt"), dtype=np.int32, ndmin=2)
    return {"image": image, "mask": mask, "keypoints": keypoints}
