import random

import numpy as np
import pytest

from kiro.core.rimbel import hsv_transform
from conftest import python_turns_during


def factors(seed, fraction):
    r = random.Random(seed)
    return [(r.random() * 2 - 1) * fraction + 1 for _ in range(2)], r.getstate()


def scaled_plane(values, a):
    """The plane after scaling: float32 product, clip when a > 1, negatives to 0, truncation."""
    p = values.astype(np.float32) * np.float32(a)
    if a > 1:
        p = np.clip(p, 0, 255)
    return np.maximum(p, 0).astype(np.uint8)


def grey_ramp():
    v = np.arange(256, dtype=np.uint8).reshape(16, 16)
    return np.repeat(v[:, :, None], 3, axis=2)


def seed_where(fraction, test):
    for seed in range(10000):
        (a_s, a_v), _ = factors(seed, fraction)
        if test(a_s, a_v):
            return seed
    raise AssertionError("no seed found")


# Grey pixels have saturation 0 and value = grey level, so every value level
# goes through the value scaling exactly; saturation stays 0.
@pytest.mark.parametrize("fraction, when", [
    (0.5, lambda s, v: v > 1.3),
    (0.5, lambda s, v: v < 0.7),
    (0.2, lambda s, v: 1.0 < v < 1.02),
    (1.0, lambda s, v: v < 0.05),
    (1.5, lambda s, v: v < 0),
    (1.5, lambda s, v: s < 0 and v > 2),
    (0.0, lambda s, v: True),
])
def test_value_scaling_on_every_grey_level(fraction, when):
    seed = seed_where(fraction, when)
    (a_s, a_v), state = factors(seed, fraction)
    img = grey_ramp()
    random.seed(seed)
    out = hsv_transform(img, fraction)
    assert random.getstate() == state
    expected = scaled_plane(np.arange(256), a_v).reshape(16, 16)
    assert np.array_equal(out, np.repeat(expected[:, :, None], 3, axis=2))


# Pure primaries: hue exact, one channel = value, the others value * (1 - s).
@pytest.mark.parametrize("colour, main", [((0, 0, 255), 2), ((0, 255, 0), 1), ((255, 0, 0), 0)])
@pytest.mark.parametrize("fraction, when", [
    (0.5, lambda s, v: s > 1.1 and v < 0.9),
    (0.5, lambda s, v: s < 0.6 and v > 0.9),
    (0.5, lambda s, v: 0.7 < s < 0.9 and 0.6 < v < 0.8),
    (1.5, lambda s, v: s < 0 and 0.5 < v < 1),
])
def test_saturation_and_value_factors_on_primaries(colour, main, fraction, when):
    seed = seed_where(fraction, when)
    (a_s, a_v), _ = factors(seed, fraction)
    img = np.empty((4, 4, 3), np.uint8)
    img[:] = colour
    random.seed(seed)
    out = hsv_transform(img, fraction)
    s = int(scaled_plane(np.array([255]), a_s)[0])
    v = int(scaled_plane(np.array([255]), a_v)[0])
    others = [c for c in range(3) if c != main]
    assert (out[..., main] == v).all()
    expected = v * (1 - s / 255.0)
    assert (np.abs(out[..., others].astype(float) - expected) <= 1).all()
    if s == 255:
        assert (out[..., others] == 0).all()


# Factors within 2**-25 of 1 are 1 in 32-bit reals: the result is the plain
# round trip (a double product just below 1 would truncate levels down).
@pytest.mark.parametrize("when", [lambda s, v: s < 1 and v < 1, lambda s, v: s > 1 and v > 1,
                                  lambda s, v: s < 1 < v])
def test_factor_near_one_is_the_plain_round_trip(when):
    img = np.random.RandomState(0).randint(0, 256, (32, 48, 3)).astype(np.uint8)
    trip = hsv_transform(img, 0)
    seed = seed_where(1e-9, when)
    random.seed(seed)
    assert np.array_equal(hsv_transform(img, 1e-9), trip)
    assert np.array_equal(hsv_transform(img, fraction=0.0), trip)


def test_grey_stays_grey_and_hue_kept():
    rng = np.random.RandomState(1)
    img = rng.randint(0, 256, (40, 40, 3)).astype(np.uint8)
    img[:20] = img[:20, :, :1]  # grey rows
    for seed in range(5):
        random.seed(seed)
        out = hsv_transform(img, 0.5)
        top = out[:20].astype(int)
        assert (top[..., 0] == top[..., 1]).all() and (top[..., 1] == top[..., 2]).all()
    # the ordering of the channels (the hue sector) survives for well saturated pixels
    random.seed(7)
    out = hsv_transform(img, 0.3).astype(int)
    src = img.astype(int)
    spread = src.max(2) - src.min(2)
    sel = (spread > 120) & (src.max(2) > 150)
    sel[:20] = False
    assert sel.sum() > 50
    assert (src.argmax(2)[sel] == out.argmax(2)[sel]).mean() > 0.97
    assert (src.argmin(2)[sel] == out.argmin(2)[sel]).mean() > 0.97


@pytest.mark.parametrize("bad, error", [
    (np.zeros((8, 8), np.uint8), RuntimeError),
    (np.zeros((8, 8, 1), np.uint8), RuntimeError),
    (np.zeros((8, 8, 2), np.uint8), RuntimeError),
    (np.zeros((8, 8, 3), np.uint16), RuntimeError),
    (np.zeros((0, 8, 3), np.uint8), RuntimeError),
    (np.zeros((8, 8, 3), np.int64), TypeError),
    (np.zeros((8, 8, 3), bool), TypeError),
    (np.zeros((2, 2, 2, 3), np.uint8), ValueError),
    ([[[1, 2, 3]]], TypeError),
])
def test_refused_images_draw_nothing(bad, error):
    before = random.getstate()
    with pytest.raises(error):
        hsv_transform(bad)
    assert random.getstate() == before


def test_new_array_input_untouched_and_views():
    base = np.random.RandomState(3).randint(0, 256, (30, 40, 3)).astype(np.uint8)
    keep = base.copy()
    random.seed(1)
    a = hsv_transform(base[::-1, ::2], fraction=0.4)
    random.seed(1)
    b = hsv_transform(np.ascontiguousarray(base[::-1, ::2]), 0.4)
    assert np.array_equal(a, b) and np.array_equal(base, keep)
    assert not np.shares_memory(a, base)


def test_four_channels_give_three():
    img = np.random.RandomState(5).randint(0, 256, (10, 12, 4)).astype(np.uint8)
    random.seed(2)
    out = hsv_transform(img, 0.5)
    random.seed(2)
    ref = hsv_transform(np.ascontiguousarray(img[..., :3]), 0.5)
    assert out.shape == (10, 12, 3) and np.array_equal(out, ref)


def test_tall_image_bands_match_small_pieces():
    img = np.random.RandomState(6).randint(0, 256, (101, 37, 3)).astype(np.uint8)
    random.seed(3)
    whole = hsv_transform(img, 0.5)
    parts = []
    for lo, hi in [(0, 7), (7, 50), (50, 101)]:
        random.seed(3)
        parts.append(hsv_transform(np.ascontiguousarray(img[lo:hi]), 0.5))
    assert np.array_equal(whole, np.concatenate(parts))


def test_pixel_work_releases_the_gil():
    img = np.random.RandomState(0).randint(0, 256, (2000, 3000, 3)).astype(np.uint8)
    assert python_turns_during(lambda: hsv_transform(img)) > 1000


@pytest.mark.parametrize("bad", ["0.5", None, [0.5]])
def test_fraction_must_be_a_number(bad):
    with pytest.raises(TypeError):
        hsv_transform(grey_ramp(), bad)
