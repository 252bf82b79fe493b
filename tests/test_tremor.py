import random

import numpy as np
import pytest

from kiro.core.tremor import tremor_image
from conftest import python_turns_during


def small(r):
    return r.randint(-3, 3), r.randint(-3, 3)


def medium(r):
    x1, y1, x2, y2 = r.randint(-5, -3), r.randint(-5, -3), r.randint(3, 5), r.randint(3, 5)
    return r.choice([x1, x2]), r.choice([y1, y2])


def large(r):
    x1, y1, x2, y2 = r.randint(-10, -5), r.randint(5, 10), r.randint(5, 10), r.randint(-10, -5)
    return r.choice([x1, x2]), r.choice([y1, y2])


def blur_ref(img):
    """3 x 3 Gaussian of sigma 2 with mirrored borders (edge not repeated), in reals."""
    k = np.exp(-np.array([1.0, 0.0, 1.0]) / 8.0)
    k /= k.sum()
    f = img.astype(np.float64)
    p = np.pad(f, ((1, 1), (0, 0), (0, 0)), mode="reflect")
    f = k[0] * p[:-2] + k[1] * p[1:-1] + k[2] * p[2:]
    p = np.pad(f, ((0, 0), (1, 1), (0, 0)), mode="reflect")
    return k[0] * p[:, :-2] + k[1] * p[:, 1:-1] + k[2] * p[:, 2:]


def textured(rows, cols, ch=3, seed=0):
    return np.random.RandomState(seed).randint(0, 256, (rows, cols, ch)).astype(np.uint8)


@pytest.mark.parametrize("rows, draw", [(1, small), (300, small), (301, medium), (640, medium),
                                        (999, medium), (1000, large), (1300, large)])
@pytest.mark.parametrize("seed", [0, 5, 17])
def test_drawn_shift_by_height(rows, draw, seed):
    img = textured(rows, 12, seed=seed)
    r = random.Random(seed)
    x, y = draw(r)
    random.seed(seed)
    out = tremor_image(img)
    assert random.getstate() == r.getstate()
    assert np.array_equal(out, tremor_image(img, x, y))
    if draw is not small:
        assert min(abs(x), abs(y)) >= (5 if draw is large else 3)


@pytest.mark.parametrize("given", [dict(x=4), dict(y=-2), dict(x=None, y=3), dict()])
def test_partial_shift_is_drawn(given):
    img = textured(50, 40)
    r = random.Random(9)
    x, y = small(r)
    random.seed(9)
    out = tremor_image(img, **given)
    assert random.getstate() == r.getstate()
    assert np.array_equal(out, tremor_image(img, x, y))


@pytest.mark.parametrize("ch", [1, 3, 4])
def test_zero_shift_is_blur_only(ch):
    img = textured(40, 50, ch)
    before = random.getstate()
    out = tremor_image(img, 0, 0)
    assert random.getstate() == before
    assert out.shape == img.shape
    assert np.abs(out.astype(np.float64) - blur_ref(img)).max() < 1.1
    flat = np.full((20, 20, ch), 77, np.uint8)
    assert (tremor_image(flat, 0, 0) == 77).all()


@pytest.mark.parametrize("x, y, dark", [
    (5, 0, (slice(None), slice(0, 4))),
    (-5, 0, (slice(None), slice(-4, None))),
    (0, 5, (slice(0, 4), slice(None))),
    (0, -5, (slice(-4, None), slice(None))),
])
def test_uncovered_strip_is_darkened(x, y, dark):
    img = np.full((100, 100, 3), 200, np.uint8)
    out = tremor_image(img, x, y)
    assert (out[dark] == 140).all()  # 0.7 * 200 + 0.3 * black
    inner = np.ones((100, 100), bool)
    inner[dark] = False
    assert (out[inner] > 140).all()
    assert (out[8:-8, 8:-8] == 200).all()


def test_real_shift_is_interpolated():
    img = np.full((30, 30, 3), 200, np.uint8)
    one, half, two = (tremor_image(img, s, 0).astype(int) for s in (1, 1.5, 2))
    assert not np.array_equal(half, one) and not np.array_equal(half, two)
    assert ((half <= one) & (half >= two)).all()
    assert tremor_image(img, np.float32(1.5), np.int64(0)).astype(int).tolist() == half.tolist()


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32, np.int16])
def test_shape_and_type_kept(dtype):
    img = (np.random.RandomState(2).rand(24, 30, 3) * 200).astype(dtype)
    out = tremor_image(img, 2, -1)
    assert out.dtype == img.dtype and out.shape == img.shape


@pytest.mark.parametrize("bad, error", [
    (np.zeros((20, 20), np.uint8), ValueError),
    (np.zeros((2, 20, 20, 3), np.uint8), ValueError),
    (np.zeros((20, 20, 3), np.int64), TypeError),
    (np.zeros((20, 20, 3), bool), TypeError),
    ([[[1, 2, 3]]], TypeError),
])
def test_bad_images(bad, error):
    before = random.getstate()
    with pytest.raises(error):
        tremor_image(bad, 1, 1)
    with pytest.raises(error):
        tremor_image(bad)
    if error is ValueError:
        assert random.getstate() == before


def test_input_untouched_and_views():
    base = textured(60, 80, seed=3)
    keep = base.copy()
    a = tremor_image(base[::2, ::-1], 3, 2)
    b = tremor_image(np.ascontiguousarray(base[::2, ::-1]), 3, 2)
    assert np.array_equal(a, b) and np.array_equal(base, keep)
    assert not np.shares_memory(a, base)


def test_pixel_work_releases_the_gil():
    img = np.random.RandomState(0).randint(0, 256, (2000, 3000, 3)).astype(np.uint8)
    assert python_turns_during(lambda: tremor_image(img, 3, 2)) > 1000
