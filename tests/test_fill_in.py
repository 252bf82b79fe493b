import random

import numpy as np
import pytest

import kiro.utils.fill_in as fill_mod
from conftest import replay
from kiro.core.KirO import DELETED_FILL_MEAN, DELETED_FILL_RANDOM
from kiro.utils.fill_in import fill_in


def round_half_away(x):
    return np.sign(x) * np.floor(np.abs(x) + 0.5)


@pytest.fixture
def region():
    r = np.zeros((30, 40), np.uint8)
    r[5:12, 8:30] = 1
    r[20:28, 2:6] = 1
    return r


def check_outside_untouched(out, image, region):
    assert out.shape == image.shape and out.dtype == image.dtype
    np.testing.assert_array_equal(out[region == 0], image[region == 0])
    assert not np.shares_memory(out, image)


@pytest.mark.parametrize("shape", [(30, 40), (30, 40, 1), (30, 40, 3), (30, 40, 4)])
@pytest.mark.parametrize("dtype", [np.uint8, np.int8, np.uint16, np.int32, np.float32, np.float64])
def test_mean_per_channel(region, shape, dtype):
    rng = np.random.RandomState(3)
    image = rng.randint(-100 if np.issubdtype(dtype, np.signedinteger) else 0, 120, shape).astype(dtype)
    before = image.copy()
    out = fill_in(image, region, DELETED_FILL_MEAN)
    check_outside_untouched(out, image, region)
    np.testing.assert_array_equal(image, before)
    inside = image[region != 0].astype(np.float64)
    mean = inside.mean(axis=0)
    expected = mean if np.issubdtype(dtype, np.floating) else round_half_away(mean)
    got = out[region != 0]
    assert (got == got[:1]).all()
    np.testing.assert_allclose(got[0].astype(np.float64), expected, rtol=1e-6)


def test_mean_exact_for_wide_integers():
    image = np.array([[2 ** 62, 2 ** 62 + 1, 2 ** 62 + 2]], np.int64)
    out = fill_in(image, np.ones((1, 3), bool), DELETED_FILL_MEAN)
    assert (out == 2 ** 62 + 1).all()


def test_mean_of_empty_region_changes_nothing(image):
    out = fill_in(image, np.zeros(image.shape[:2], np.uint8), DELETED_FILL_MEAN)
    np.testing.assert_array_equal(out, image)
    assert not np.shares_memory(out, image)


@pytest.mark.parametrize("value", [0, 7, 255, np.int64(200), np.uint8(9), True])
@pytest.mark.parametrize("shape", [(30, 40), (30, 40, 3)])
def test_integer_value(region, value, shape):
    image = np.full(shape, 100, np.uint8)
    out = fill_in(image, region, value)
    check_outside_untouched(out, image, region)
    assert (out[region != 0] == int(value)).all()


@pytest.mark.parametrize("dtype, value", [(np.int16, -300), (np.float32, 1000), (np.uint16, 65535)])
def test_integer_value_other_types(region, dtype, value):
    out = fill_in(np.zeros((30, 40, 2), dtype), region, value)
    assert (out[region != 0] == value).all() and not out[region == 0].any()


@pytest.mark.parametrize("region_dtype", [bool, np.uint8, np.int32, np.float64])
def test_region_types_and_values(region, region_dtype):
    r = (region * 5).astype(region_dtype)
    out = fill_in(np.zeros((30, 40, 3), np.uint8), r, 9)
    np.testing.assert_array_equal(out[..., 0] == 9, region != 0)


def test_random_reproducible_and_one_draw(image):
    region = np.ones(image.shape[:2], np.uint8)
    random.seed(11)
    a = fill_in(image, region, DELETED_FILL_RANDOM)
    assert random.getstate() == replay(11, [lambda r: r.getrandbits(64)])
    random.seed(11)
    b = fill_in(image, region, DELETED_FILL_RANDOM)
    np.testing.assert_array_equal(a, b)
    random.seed(12)
    c = fill_in(image, region, DELETED_FILL_RANDOM)
    assert (a != c).mean() > 0.9


def test_random_noise_statistics(region):
    image = np.zeros((300, 400, 3), np.uint8)
    big = np.kron(region, np.ones((10, 10), np.uint8))
    out = fill_in(image, big, DELETED_FILL_RANDOM)
    check_outside_untouched(out, image, big)
    noise = out[big != 0].astype(np.float64)
    assert abs(noise.mean() - 128) < 1.5 and abs(noise.std() - 62) < 3  # saturation trims the tails
    # Channels and pixels are independent.
    assert abs(np.corrcoef(noise[:, 0], noise[:, 1])[0, 1]) < 0.03


def test_random_real_image(region):
    out = fill_in(np.zeros((30, 40), np.float64), region, DELETED_FILL_RANDOM)
    noise = out[region != 0]
    assert abs(noise.mean() - 0.5) < 0.05 and abs(noise.std() - 0.25) < 0.04
    assert not out[region == 0].any()


def test_random_draws_even_for_empty_region(image):
    random.seed(5)
    out = fill_in(image, np.zeros(image.shape[:2], bool), DELETED_FILL_RANDOM)
    np.testing.assert_array_equal(out, image)
    assert random.getstate() == replay(5, [lambda r: r.getrandbits(64)])


@pytest.mark.parametrize("fill_type", [DELETED_FILL_MEAN, 3])
def test_no_draw_for_mean_and_value(image, fill_type):
    random.seed(5)
    fill_in(image, np.ones(image.shape[:2], bool), fill_type)
    assert random.getstate() == replay(5, [])


def test_constants_read_at_call_time(monkeypatch, image, region):
    image = image[:30, :40]
    monkeypatch.setattr(fill_mod, "DELETED_FILL_MEAN", "average")
    out = fill_in(image, region, "average")
    assert (out[region != 0] == out[region != 0][0]).all()
    with pytest.raises(ValueError, match="fill_type"):
        fill_in(image, region, DELETED_FILL_MEAN)


def test_strided_inputs():
    base = np.random.RandomState(0).randint(0, 256, (40, 60, 3)).astype(np.uint8)
    image = base[::2, ::-3]
    region = np.zeros((40, 60), np.uint8)
    region[::2, 10:30] = 1
    region = region[::2, ::3]
    assert image.shape[:2] == region.shape
    out = fill_in(image, region, 1)
    expected = image.copy()
    expected[region != 0] = 1
    np.testing.assert_array_equal(out, expected)
    assert out.flags.c_contiguous


def test_byte_swapped_image(region):
    image = np.arange(30 * 40, dtype=">u2").reshape(30, 40)
    out = fill_in(image, region, 513)
    assert (out[region != 0] == 513).all()
    np.testing.assert_array_equal(out[region == 0], image[region == 0])


@pytest.mark.parametrize("image, region, fill_type, exc", [
    (np.zeros((4, 4), np.uint8), np.ones((4, 4)), "median", ValueError),
    (np.zeros((4, 4), np.uint8), np.ones((4, 4)), 1.5, ValueError),
    (np.zeros((4, 4), np.uint8), np.ones((4, 4)), None, ValueError),
    (np.zeros((4, 4), np.uint8), np.ones((4, 4)), 256, ValueError),
    (np.zeros((4, 4), np.uint8), np.ones((4, 4)), -1, ValueError),
    (np.zeros((4, 4), np.uint8), np.ones((4, 5)), 1, ValueError),
    (np.zeros((4, 4), np.uint8), np.ones((4, 4, 1)), 1, ValueError),
    (np.zeros((4, 4, 3), np.uint8), np.ones(4), 1, ValueError),
    (np.zeros(4, np.uint8), np.ones((4, 4)), 1, ValueError),
    (np.zeros((4, 4, 3, 1), np.uint8), np.ones((4, 4)), 1, ValueError),
    (np.zeros((4, 4), bool), np.ones((4, 4)), 1, TypeError),
    (np.zeros((4, 4), np.uint8), np.ones((4, 4), object), 1, TypeError),
    ([[0]], np.ones((1, 1)), 1, TypeError),
])
def test_bad_input(image, region, fill_type, exc):
    with pytest.raises(exc):
        fill_in(image, region, fill_type)
