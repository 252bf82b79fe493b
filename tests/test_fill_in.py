import random

import numpy as np
import pytest

import kiro.utils.fill_in as fill_mod
from conftest import replay
from kiro.core.KirO import DELETED_FILL_MEAN, DELETED_FILL_RANDOM
from kiro.utils.fill_in import fill_in

ONE_SEED = [lambda r: r.getrandbits(64)]


def region(shape=(30, 40)):
    r = np.zeros(shape, np.uint8)
    r[5:12, 8:30] = 1
    r[20:28, 2:6] = 1
    return r


def check_outside_untouched(out, image, reg):
    assert out.shape == image.shape and out.dtype == image.dtype
    np.testing.assert_array_equal(out[reg == 0], image[reg == 0])
    assert not np.shares_memory(out, image)


@pytest.mark.parametrize("shape", [(30, 40), (30, 40, 1), (30, 40, 4)])
@pytest.mark.parametrize("dtype", [np.uint8, np.int8, np.uint16, np.int32, np.float32, np.float64])
def test_mean_per_channel(shape, dtype):
    rng = np.random.RandomState(3)
    image = rng.randint(-100 if np.issubdtype(dtype, np.signedinteger) else 0, 120, shape).astype(dtype)
    before, reg = image.copy(), region()
    out = fill_in(image, reg, DELETED_FILL_MEAN)
    check_outside_untouched(out, image, reg)
    np.testing.assert_array_equal(image, before)
    mean = image[reg != 0].astype(np.float64).mean(axis=0)
    if not np.issubdtype(dtype, np.floating):
        mean = np.sign(mean) * np.floor(np.abs(mean) + 0.5)  # nearest, halves away from zero
    got = out[reg != 0]
    assert (got == got[:1]).all()
    np.testing.assert_allclose(got[0].astype(np.float64), mean, rtol=1e-6)


def test_mean_exact_for_wide_integers_and_empty_region():
    image = np.array([[2 ** 62, 2 ** 62 + 1, 2 ** 62 + 2]], np.int64)
    assert (fill_in(image, np.ones((1, 3), bool), DELETED_FILL_MEAN) == 2 ** 62 + 1).all()
    np.testing.assert_array_equal(fill_in(image, np.zeros((1, 3)), DELETED_FILL_MEAN), image)


@pytest.mark.parametrize("dtype, value", [(np.uint8, 0), (np.uint8, np.int64(200)), (np.uint8, True),
                                          (np.int16, -300), (np.float32, 1000), (np.uint16, 65535)])
@pytest.mark.parametrize("region_dtype", [bool, np.int32, np.float64])
def test_integer_value(dtype, value, region_dtype):
    image = np.full((30, 40, 3), 100, dtype)
    reg = (region() * 5).astype(region_dtype)
    out = fill_in(image, reg, value)
    check_outside_untouched(out, image, reg)
    assert (out[reg != 0] == int(value)).all()


def test_random_reproducible_with_one_draw(image):
    reg = np.ones(image.shape[:2], np.uint8)
    random.seed(11)
    a = fill_in(image, reg, DELETED_FILL_RANDOM)
    assert random.getstate() == replay(11, ONE_SEED)
    random.seed(11)
    np.testing.assert_array_equal(a, fill_in(image, reg, DELETED_FILL_RANDOM))
    random.seed(12)
    assert (a != fill_in(image, reg, DELETED_FILL_RANDOM)).mean() > 0.9


@pytest.mark.parametrize("dtype, mean, std", [(np.uint8, 128, 62), (np.float64, 0.5, 0.25)])
def test_random_noise_statistics(dtype, mean, std):
    image, reg = np.zeros((300, 400, 3), dtype), np.kron(region(), np.ones((10, 10), np.uint8))
    out = fill_in(image, reg, DELETED_FILL_RANDOM)
    check_outside_untouched(out, image, reg)
    noise = out[reg != 0].astype(np.float64)
    assert abs(noise.mean() - mean) < 0.02 * mean and abs(noise.std() - std) < 0.05 * std
    assert abs(np.corrcoef(noise[:, 0], noise[:, 1])[0, 1]) < 0.03  # channels independent


@pytest.mark.parametrize("fill_type, draws", [(DELETED_FILL_RANDOM, ONE_SEED), (DELETED_FILL_MEAN, []), (3, [])])
def test_draws_even_for_empty_region(image, fill_type, draws):
    random.seed(5)
    np.testing.assert_array_equal(fill_in(image, np.zeros(image.shape[:2], bool), fill_type), image)
    assert random.getstate() == replay(5, draws)


def test_constants_read_at_call_time(monkeypatch):
    image, reg = np.arange(1200, dtype=np.uint16).reshape(30, 40), region()
    monkeypatch.setattr(fill_mod, "DELETED_FILL_MEAN", "average")
    assert len(np.unique(fill_in(image, reg, "average")[reg != 0])) == 1
    with pytest.raises(ValueError, match="fill_type"):
        fill_in(image, reg, DELETED_FILL_MEAN)


@pytest.mark.parametrize("image", [
    np.random.RandomState(0).randint(0, 256, (60, 120, 3)).astype(np.uint8)[::2, ::-3],
    np.arange(30 * 40, dtype=">u2").reshape(30, 40),
])
def test_strided_and_byte_swapped_images(image):
    reg = np.kron(region(), np.ones((1, 2), np.uint8))[:, ::2]
    expected = image.copy()
    expected[reg != 0] = 9
    out = fill_in(image, reg, 9)
    np.testing.assert_array_equal(out, expected)
    assert out.flags.c_contiguous


@pytest.mark.parametrize("image, reg, fill_type, exc", [
    (np.zeros((4, 4), np.uint8), np.ones((4, 4)), "median", ValueError),
    (np.zeros((4, 4), np.uint8), np.ones((4, 4)), 1.5, ValueError),
    (np.zeros((4, 4), np.uint8), np.ones((4, 4)), None, ValueError),
    (np.zeros((4, 4), np.uint8), np.ones((4, 4)), 256, ValueError),
    (np.zeros((4, 4), np.uint8), np.ones((4, 4)), -1, ValueError),
    (np.zeros((4, 4), np.uint8), np.ones((4, 5)), 1, ValueError),
    (np.zeros((4, 4), np.uint8), np.ones((4, 4, 1)), 1, ValueError),
    (np.zeros(4, np.uint8), np.ones((4, 4)), 1, ValueError),
    (np.zeros((4, 4, 3, 1), np.uint8), np.ones((4, 4)), 1, ValueError),
    (np.zeros((4, 4), bool), np.ones((4, 4)), 1, TypeError),
    (np.zeros((4, 4), np.uint8), np.ones((4, 4), object), 1, TypeError),
    ([[0]], np.ones((1, 1)), 1, TypeError),
])
def test_bad_input(image, reg, fill_type, exc):
    with pytest.raises(exc):
        fill_in(image, reg, fill_type)
