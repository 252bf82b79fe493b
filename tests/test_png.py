"""PNG files written by kiro decode back to the exact pixels."""

import numpy as np
import pytest

from kiro.utils import _io


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
@pytest.mark.parametrize("channels", [1, 3, 4])
def test_png_round_trip_is_lossless(dtype, channels):
    rng = np.random.RandomState(channels)
    top = np.iinfo(dtype).max
    shape = (37, 53) if channels == 1 else (37, 53, channels)
    # noise, flat runs and the extreme values, so every filter and run path is used
    image = rng.randint(0, top + 1, shape).astype(dtype)
    image[:10] = 7
    image[-3:] = top
    image[:, :2] = 0
    data = _io.encode(image, ".png")
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    back = _io.decode(data)
    assert back.dtype == image.dtype
    assert back.shape == image.shape
    np.testing.assert_array_equal(back, image)
