import math
import random

import numpy as np
import pytest

from kiro.core import vorlat
from kiro.core.vorlat import create_gaussian_mask, generate_noisy
from conftest import python_turns_during

SIGMA = math.sqrt(0.1)


def phi(z):
    return 0.5 * (1.0 + math.erf(z / math.sqrt(2.0)))


def np_state():
    return np.random.get_state()


def same_np_state(a, b):
    return a[0] == b[0] and np.array_equal(a[1], b[1]) and a[2:] == b[2:]


def after_seed_draw(seed):
    np.random.seed(seed)
    np.random.randint(0, 2 ** 64 - 1, dtype=np.uint64)
    return np_state()


@pytest.mark.parametrize("bad", [3, 1.5, b"gauss", ["gauss"], np.array(["gauss"])])
def test_noise_typ_must_be_text(bad):
    before_np, before_py = np_state(), random.getstate()
    with pytest.raises(TypeError) as err:
        generate_noisy(np.zeros((4, 4, 3), np.uint8), bad)
    msg = str(err.value)
    assert "noise_typ" in msg and "str" in msg and type(bad).__name__ in msg
    assert same_np_state(np_state(), before_np) and random.getstate() == before_py


@pytest.mark.parametrize("kind", ["Gauss", "", "salt", "gauss ", "SPECKLE", None])
def test_unknown_kind_returns_none_and_draws_nothing(kind):
    img = np.full((6, 5, 3), 9, np.uint8)
    before = np_state()
    assert generate_noisy(img, kind) is None
    assert same_np_state(np_state(), before)
    assert (img == 9).all()


def test_create_gaussian_mask():
    before = np_state()
    assert create_gaussian_mask() is None
    assert same_np_state(np_state(), before)
    with pytest.raises(TypeError):
        create_gaussian_mask(1)


@pytest.mark.parametrize("kind", ["gauss", "s&p", "speckle"])
@pytest.mark.parametrize("shape, word", [((8, 8), "not enough"), ((2, 3, 3, 2), "too many"), ((5,), "not enough")])
def test_three_axes_required(kind, shape, word):
    before = np_state()
    with pytest.raises(ValueError, match=word):
        generate_noisy(np.zeros(shape, np.uint8), kind)
    assert same_np_state(np_state(), before)


@pytest.mark.parametrize("shape", [(30, 40), (50,), (3, 4, 5, 2), (20, 20, 3)])
def test_poisson_takes_any_shape(shape):
    img = (np.arange(np.prod(shape)) % 200).astype(np.uint8).reshape(shape)
    out = generate_noisy(img, "poisson")
    assert out.shape == shape and out.dtype == np.uint8
    assert np.abs(out.astype(int) - img).mean() < 2


# P(out <= k) for a constant image, out = trunc(clip(value + scale * z)).
@pytest.mark.parametrize("kind, value, dtype, centre, scale", [
    ("gauss", 128, np.uint8, 128.0, 255 * SIGMA),
    ("gauss", 127.5, np.float64, 127.5, 255 * SIGMA),
    ("gauss", 40, np.uint16, 40.0, 255 * SIGMA),
    ("speckle", 100, np.uint8, 100.0, 100.0),
    ("speckle", 1.0, np.float64, 1.0, 1.0),
    ("speckle", 60, np.int32, 60.0, 60.0),
])
def test_normal_fields_follow_the_normal_law(kind, value, dtype, centre, scale):
    img = np.full((400, 400, 3), value, dtype)
    result = generate_noisy(img, kind)
    assert result.dtype == np.uint8 and result.shape == img.shape
    out = result.ravel().astype(np.int64)
    for k in [0, 1, 2, 3, 30, 60, 99, 127, 128, 160, 200, 254]:
        expected = phi((k + 1 - centre) / scale)
        assert abs((out <= k).mean() - expected) < 0.004, k
    assert (out == 255).mean() == pytest.approx(1 - phi((255 - centre) / scale), abs=0.004)


@pytest.mark.parametrize("kind", ["gauss", "speckle", "poisson"])
def test_field_blocks_are_independent(kind):
    img = np.full((256, 512, 3), 100, np.uint8)  # several blocks of the field
    out = generate_noisy(img, kind).ravel().astype(np.float64)
    size = 1 << 16
    a, b = out[:size], out[size:2 * size]
    assert not np.array_equal(a, b)
    assert abs(np.corrcoef(a, b)[0, 1]) < 0.02
    assert abs(np.corrcoef(out[:-1], out[1:])[0, 1]) < 0.01


@pytest.mark.parametrize("kind", ["gauss", "speckle", "poisson"])
def test_seeded_calls_repeat(kind):
    img = np.random.RandomState(0).randint(0, 256, (70, 90, 3)).astype(np.uint8)
    np.random.seed(42)
    first = generate_noisy(img, kind)
    assert same_np_state(np_state(), after_seed_draw(42))
    np.random.seed(42)
    again = generate_noisy(img, kind)
    np.random.seed(43)
    other = generate_noisy(img, kind)
    assert np.array_equal(first, again)
    assert not np.array_equal(first, other)


@pytest.mark.parametrize("kind", ["gauss", "speckle", "poisson"])
def test_result_does_not_depend_on_thread_count(kind):
    threads = pytest.importorskip("kiro.utils._threads")
    img = np.random.RandomState(1).randint(0, 256, (300, 400, 3)).astype(np.uint8)
    saved = threads.get_num_threads()
    try:
        threads.set_num_threads(0)
        np.random.seed(5)
        one = generate_noisy(img, kind)
        threads.set_num_threads(4)
        np.random.seed(5)
        four = generate_noisy(img, kind)
    finally:
        threads.set_num_threads(saved)
    assert np.array_equal(one, four)


def salt_pepper_reference(img, seed):
    np.random.seed(seed)
    out = img.copy()
    num = int(np.ceil(0.004 * img.size * 0.5))
    salt = tuple(np.random.randint(0, n, num) for n in img.shape)
    pepper = tuple(np.random.randint(0, n, num) for n in img.shape)
    out[salt] = 255
    out[pepper] = 0
    return out, salt, num


@pytest.mark.parametrize("shape, dtype, count", [
    ((100, 100, 3), np.uint8, 60),
    ((480, 640, 3), np.uint8, 1844),
    ((7, 9, 1), np.uint8, 1),
    ((1, 300, 3), np.float32, 2),
    ((40, 30, 4), np.uint16, 10),
    ((20, 20, 3), np.float64, 3),
])
def test_salt_and_pepper_replayed(shape, dtype, count):
    img = np.random.RandomState(3).randint(1, 200, shape).astype(dtype)
    keep = img.copy()
    expected, _, num = salt_pepper_reference(img, 11)
    assert num == count
    state = np_state()
    np.random.seed(11)
    out = generate_noisy(img, "s&p")
    assert out.dtype == img.dtype and out.shape == img.shape
    assert np.array_equal(out, expected)
    assert same_np_state(np_state(), state)
    assert np.array_equal(img, keep)


def test_salt_reaches_last_row_column_and_channel():
    img = np.full((6, 5, 2), 100, np.uint8)
    for seed in range(500):
        expected, salt, _ = salt_pepper_reference(img, seed)
        if all((s == n - 1).any() for s, n in zip(salt, img.shape)):
            break
    else:
        pytest.fail("no seed reaches the last index of every axis")
    np.random.seed(seed)
    out = generate_noisy(img, "s&p")
    assert np.array_equal(out, expected)
    assert (out[-1] != 100).any() and (out[:, -1] != 100).any() and (out[..., -1] != 100).any()


def test_salt_is_white_and_pepper_black():
    img = np.full((200, 200, 3), 128, np.uint8)
    out = generate_noisy(img, "s&p")
    changed = out != 128
    assert set(np.unique(out[changed])) <= {0, 255}
    assert 200 <= (out == 255).sum() <= 240 and 200 <= (out == 0).sum() <= 240


def test_salt_on_bool_and_int8():
    out = generate_noisy(np.zeros((50, 50, 3), bool), "s&p")
    assert out.dtype == bool and out.sum() > 0
    before = np_state()
    with pytest.raises(OverflowError):
        generate_noisy(np.zeros((10, 10, 3), np.int8), "s&p")
    assert same_np_state(np_state(), before)


# Constant images: vals = 1, so each element is Poisson(value).
@pytest.mark.parametrize("lam", [0, 3, 9, 10, 40, 200])
def test_poisson_on_constant_image(lam):
    img = np.full((300, 300, 3), lam, np.uint8)
    out = generate_noisy(img, "poisson").ravel().astype(np.int64)
    assert out.mean() == pytest.approx(lam, abs=0.03 + 0.01 * math.sqrt(lam))
    assert out.var() == pytest.approx(min(lam, 255), rel=0.03, abs=0.01)
    for k in range(max(0, lam - 4), lam + 5):
        pmf = math.exp(-lam + k * math.log(lam) - math.lgamma(k + 1)) if lam else float(k == 0)
        assert abs((out == k).mean() - pmf) < 0.003, k


@pytest.mark.parametrize("values, vals", [((0, 50), 2), ((10, 50, 90), 4), ((10, 50, 90, 130, 170), 8)])
def test_poisson_level_is_power_of_two_of_distinct_count(values, vals):
    img = np.array(values, np.uint8)[np.arange(300 * 300 * 3) % len(values)].reshape(300, 300, 3)
    out = generate_noisy(img, "poisson").astype(np.float64)
    for v in values:
        sel = out[img == v]
        if v == 0:
            assert (sel == 0).all()
            continue
        # trunc(Poisson(v * vals) / vals): the remainder k mod vals is spread evenly
        assert sel.mean() == pytest.approx(v - (vals - 1) / (2 * vals), abs=0.03)
        assert sel.var() == pytest.approx(v / vals + (vals ** 2 - 1) / (12 * vals ** 2), rel=0.05)


def test_poisson_on_full_range_image():
    img = np.random.RandomState(1).randint(0, 256, (400, 400, 3)).astype(np.uint8)
    d = generate_noisy(img, "poisson").astype(np.float64) - img
    assert d.mean() == pytest.approx(-0.5, abs=0.02)
    assert d.var() == pytest.approx(img.mean() / 256 + 1 / 12, rel=0.06)


@pytest.mark.parametrize("bad", [-1.0, np.nan])
def test_poisson_rejects_bad_means(bad):
    img = np.full((4, 4, 3), 5.0)
    img[1, 2, 0] = bad
    before = np_state()
    with pytest.raises(ValueError, match="lam"):
        generate_noisy(img, "poisson")
    assert same_np_state(np_state(), before)


def test_speckle_keeps_black():
    img = np.zeros((100, 100, 3), np.uint8)
    img[::2] = 200
    out = generate_noisy(img, "speckle")
    assert (out[1::2] == 0).all()
    assert out[::2].std() > 50


@pytest.mark.parametrize("kind", ["gauss", "s&p", "poisson", "speckle"])
def test_views_and_inputs(kind):
    base = np.random.RandomState(2).randint(0, 256, (60, 80, 3)).astype(np.uint8)
    view = base[::2, ::-1]
    keep = base.copy()
    np.random.seed(8)
    out = generate_noisy(view, kind)
    np.random.seed(8)
    ref = generate_noisy(np.ascontiguousarray(view), kind)
    assert np.array_equal(out, ref)
    assert np.array_equal(base, keep)
    assert not np.shares_memory(out, base)


@pytest.mark.parametrize("kind", ["gauss", "s&p", "poisson", "speckle"])
@pytest.mark.parametrize("bad", [[[1, 2, 3]], "image", np.zeros((3, 3, 3), complex)])
def test_bad_images(kind, bad):
    with pytest.raises(TypeError):
        generate_noisy(bad, kind)


def test_arguments_are_required():
    with pytest.raises(TypeError):
        generate_noisy(np.zeros((3, 3, 3), np.uint8))
    assert vorlat.generate_noisy(image=np.zeros((3, 3, 3), np.uint8), noise_typ="x") is None


@pytest.mark.parametrize("kind", ["gauss", "s&p", "poisson", "speckle"])
def test_pixel_work_releases_the_gil(kind):
    img = np.random.RandomState(0).randint(0, 256, (1000, 1500, 3)).astype(np.uint8)
    if kind == "s&p":
        img = np.repeat(img, 4, axis=0)
    assert python_turns_during(lambda: generate_noisy(img, kind)) > 1000
