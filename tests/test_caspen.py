import random

import numpy as np
import pytest

from conftest import replay
from kiro.utils.caspen import caspen


def expected_size(base_shape, src_shape, size_ratio, r):
    """Target size by the fit-to-base rules, drawing on the Random `r`."""
    img_h, img_w = base_shape[:2]
    wm_h, wm_w = src_shape[:2]
    if wm_w > wm_h:
        re_w = r.randint(int(img_w * size_ratio[0]), int(img_w * size_ratio[1]))
        re_h = int(re_w / wm_w * wm_h)
        if re_h > img_h:
            re_h = img_h - 1
            re_w = int(re_h / wm_h * wm_w)
    else:
        re_h = r.randint(int(img_h * size_ratio[0]), int(img_h * size_ratio[1]))
        re_w = int(re_h / wm_h * wm_w)
        if re_w > img_w:
            re_w = img_w - 1
            re_h = int(re_w / wm_w * wm_h)
    return re_h, re_w


def texture(shape, dtype=np.uint8, seed=0):
    return np.random.RandomState(seed).randint(0, 200, shape).astype(dtype)


@pytest.mark.parametrize("base, src, ratio, size", [
    ((100, 200, 3), (50, 100, 3), (0.5, 0.5), (50, 100)),
    ((100, 1000), (100, 101), (1, 1), (99, 99)),      # capped one below the base height
    ((100, 200, 3), (40, 40, 3), (0.3, 0.3), (30, 30)),  # square takes the height branch
    ((100, 100, 3), (50, 100, 3), (1, 1), (50, 100)),  # width branch, no cap
    ((100, 50, 3), (100, 50, 3), (1, 1), (100, 50)),   # equal to the base side: not reduced
])
def test_examples(base, src, ratio, size):
    out, re_h, re_w = caspen(np.zeros(base, np.uint8), texture(src), ratio)
    assert (re_h, re_w) == size and type(re_h) is int and type(re_w) is int
    assert out.shape[:2] == size


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("base, src, ratio", [
    ((120, 160, 3), (30, 70, 3), (0.2, 0.9)),
    ((120, 160, 3), (70, 30, 4), (0.1, 0.6)),
    ((90, 300), (10, 200, 3), (0.5, 1.0)),
    ((300, 90, 3), (200, 11), (0.4, 1.0)),
    ((64, 64, 3), (64, 64, 3), (0.05, 0.95)),
])
def test_one_draw_and_sizes_replayed(seed, base, src, ratio):
    random.seed(seed)
    out, re_h, re_w = caspen(np.zeros(base, np.uint8), texture(src), ratio)
    r = random.Random(seed)
    assert (re_h, re_w) == expected_size(base, src, ratio, r)
    assert random.getstate() == r.getstate()
    assert out.shape[:2] == (re_h, re_w)


@pytest.mark.parametrize("base_c, src_shape, channels", [
    (3, (20, 30, 3), [0, 1, 2]),
    (3, (20, 30, 4), [0, 1, 2]),   # alpha dropped
    (3, (20, 30), [0, 0, 0]),
    (3, (20, 30, 1), [0, 0, 0]),
    (3, (20, 30, 2), [0, 0, 0]),   # fewer channels: the first one repeated
    (4, (20, 30, 3), [0, 0, 0, 0]),
    (4, (20, 30, 2), [0, 0, 0, 0]),
    (1, (20, 30, 3), [0]),         # 2-axis base counts as one channel
    (1, (20, 30), [0]),
])
def test_channel_rules(base_c, src_shape, channels):
    base = np.zeros((40, 60) if base_c == 1 else (40, 60, base_c), np.uint8)
    src = texture(src_shape, seed=3)
    random.seed(1)
    out, re_h, re_w = caspen(base, src, (0.5, 0.5))
    assert out.shape == (re_h, re_w, len(channels)) and out.dtype == np.uint8
    planes = src.reshape(src.shape[0], src.shape[1], -1)
    for k, c in enumerate(channels):
        random.seed(1)
        single, _, _ = caspen(np.zeros((40, 60), np.uint8), np.ascontiguousarray(planes[..., c]), (0.5, 0.5))
        np.testing.assert_array_equal(out[..., k], single[..., 0])


def checker():
    src = np.zeros((40, 40, 3), np.uint8)
    src[::2, ::2] = src[1::2, 1::2] = 200
    return src


@pytest.mark.parametrize("src, base, ratio, expected", [
    (texture((30, 50, 3), seed=5), (30, 50, 3), (1, 1), texture((30, 50, 3), seed=5)),  # same size
    (texture((30, 50, 3), np.uint16), (30, 50), (1, 1), texture((30, 50, 3), np.uint16)[..., :1]),
    (texture((30, 50, 1), np.float32), (30, 50, 3), (1, 1), texture((30, 50, 1), np.float32).repeat(3, 2)),
    (np.full((30, 50, 3), 77, np.int16), (100, 100, 3), (0.8, 0.8), np.full((48, 80, 3), 77, np.int16)),
    (checker(), (40, 40, 3), (0.5, 0.5), np.full((20, 20, 3), 100, np.uint8)),  # 2x2 averages
])
def test_pixels_and_element_type(src, base, ratio, expected):
    out, re_h, re_w = caspen(np.zeros(base, np.uint8), src, ratio)
    assert out.dtype == expected.dtype and (re_h, re_w) == expected.shape[:2]
    np.testing.assert_array_equal(out, expected)


@pytest.mark.parametrize("view", [
    lambda a: a[::-1],
    lambda a: a[:, ::-1],
    lambda a: a[::2, ::3],
    lambda a: a[..., ::-1],
    lambda a: np.asfortranarray(a),
])
def test_strided_and_reversed_inputs(view):
    src = view(texture((60, 90, 4), seed=8))
    before = src.copy()
    random.seed(4)
    out, re_h, re_w = caspen(np.zeros((50, 70, 3), np.uint8), src, (0.3, 0.9))
    random.seed(4)
    ref, h2, w2 = caspen(np.zeros((50, 70, 3), np.uint8), np.ascontiguousarray(src), (0.3, 0.9))
    assert (re_h, re_w) == (h2, w2)
    np.testing.assert_array_equal(out, ref)
    np.testing.assert_array_equal(src, before)
    assert not np.shares_memory(out, src)


@pytest.mark.parametrize("src, ratio, exc, draws", [
    ((20, 30, 3), (0.5,), IndexError, []),
    ((20, 30, 3), (0.5, 0.3), ValueError, []),  # empty range of the generator
    ((2, 100, 3), (0.5, 0.5), ValueError, [lambda r: r.randint(5, 5)]),  # re_h = 0, after the draw
])
def test_ratio_and_size_errors(src, ratio, exc, draws):
    random.seed(9)
    with pytest.raises(exc):
        caspen(np.zeros((10, 10, 3), np.uint8), texture(src), ratio)
    assert random.getstate() == replay(9, draws)


@pytest.mark.parametrize("image, image2, exc", [
    (np.zeros((10, 10, 3, 1), np.uint8), texture((5, 5, 3)), ValueError),
    (np.zeros((10, 10, 3), np.uint8), np.zeros((5, 5, 3, 1), np.uint8), ValueError),
    (np.zeros((10, 10, 3), np.uint8), np.zeros((0, 5, 3), np.uint8), ValueError),
    (np.zeros((10, 10, 3), np.uint8), np.zeros(5, np.uint8), ValueError),
    ([[0]], texture((5, 5, 3)), TypeError),
    (np.zeros((10, 10, 3), np.uint8), [[1, 2], [3, 4]], TypeError),
    (np.zeros((10, 10, 3), np.uint8), np.zeros((5, 5, 3), np.int64), TypeError),
])
def test_bad_arrays(image, image2, exc):
    with pytest.raises(exc):
        caspen(image, image2, (0.5, 0.8))


def test_binding():
    out, h, w = caspen(size_ratio=(1, 1), image2=texture((4, 6, 3)), image=np.zeros((4, 6, 3), np.uint8))
    assert (h, w) == (4, 6)
    with pytest.raises(TypeError):
        caspen(np.zeros((4, 6, 3), np.uint8), texture((4, 6, 3)))
    with pytest.raises(TypeError):
        caspen(np.zeros((4, 6, 3), np.uint8), texture((4, 6, 3)), (1, 1), ratio=2)
