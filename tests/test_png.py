"""PNG files written by kiro: lossless, standard (other decoders read the same
pixels in RGB order) and no larger than OpenCV's default encoding."""

import io

import numpy as np
import pytest

import kiro
from kiro.utils import _io


def _image(dtype, channels, shape=(37, 53), seed=0):
    rng = np.random.RandomState(seed + channels)
    top = np.iinfo(dtype).max
    full = shape if channels == 1 else shape + (channels,)
    # noise, flat runs and the extreme values, so wrapping differences are used
    image = rng.randint(0, top + 1, full).astype(dtype)
    image[:10] = 7
    image[-3:] = top
    image[:, :2] = 0
    return image


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
@pytest.mark.parametrize("channels", [1, 3, 4])
@pytest.mark.parametrize("shape", [(37, 53), (1, 1), (1, 70), (70, 1), (5, 33), (300, 1031)])
def test_png_round_trip_is_lossless(dtype, channels, shape):
    image = _image(dtype, channels, shape)
    data = _io.encode(image, ".png")
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    back = _io.decode(data)
    assert back.dtype == image.dtype
    assert back.shape == image.shape
    np.testing.assert_array_equal(back, image)


@pytest.mark.parametrize("channels", [1, 3, 4])
def test_png_views_encode_their_own_pixels(channels):
    # strided and offset views: rows are read with the view's own step
    big = _image(np.uint8, channels, (80, 90))
    view = big[5:60:2, 3:70]
    np.testing.assert_array_equal(_io.decode(_io.encode(view, ".png")), view)


@pytest.mark.parametrize("dtype,channels,mode", [(np.uint8, 1, "L"), (np.uint8, 3, "RGB"), (np.uint8, 4, "RGBA"),
                                                 (np.uint16, 1, "I;16")])
def test_png_reads_the_same_in_pillow(dtype, channels, mode):
    Image = pytest.importorskip("PIL.Image")
    image = _image(dtype, channels, (41, 66))
    with Image.open(io.BytesIO(_io.encode(image, ".png"))) as f:
        f.load()
        assert f.mode == mode or (mode == "I;16" and f.mode in ("I;16B", "I"))
        assert f.size == (66, 41)
        got = np.asarray(f)
    if channels >= 3:  # stored as RGB(A): BGR(A) arrays come back in RGB order
        got = got[..., [2, 1, 0, 3][:channels]]
    np.testing.assert_array_equal(got.astype(dtype), image)


def test_png_is_no_larger_than_opencv_default():
    ref = pytest.importorskip("ref_codecs")
    photo = _io.read_image(kiro.data.path("sample.jpg"))
    rng = np.random.RandomState(0)
    noisy = np.clip(photo + rng.normal(0, 10, photo.shape), 0, 255).astype(np.uint8)
    mask = _io.read_image(kiro.data.path("sample_mask.png"))
    for image in (photo, noisy, mask, np.ascontiguousarray(photo[..., 0])):
        ours, theirs = len(_io.encode(image, ".png")), len(ref.png_default(image))
        assert ours <= 1.1 * theirs, (image.shape, ours, theirs)
