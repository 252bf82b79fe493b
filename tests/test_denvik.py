import random

import numpy as np
import pytest

from kiro.core import denvik
from kiro.core.denvik import _dwn_brightness, _generate_denvik, denvik_transform
from conftest import python_turns_during

WARNING = "Warning! init_delta should be larger than 50 that get better effect.\n"


def np_state():
    return np.random.get_state()


def same_np_state(a, b):
    return a[0] == b[0] and np.array_equal(a[1], b[1]) and a[2:] == b[2:]


def darken_ref(img, init_delta):
    delta = np.random.uniform(-init_delta, -init_delta + init_delta // 5)
    return np.clip(img.astype(np.float64) + delta, 0, 255).astype(np.uint8), delta


def noise_ref(img):
    scaled = img / 255.0
    row, col, ch = scaled.shape
    var = random.choice([0.05, 0.03, 0.01])
    gauss = np.random.normal(0, var ** 0.5, (row, col, ch))
    return np.clip((scaled + gauss) * 255.0, 0, 255).astype(np.uint8)


def images():
    rng = np.random.RandomState(4)
    return {
        "uint8": rng.randint(0, 256, (40, 50, 3)).astype(np.uint8),
        "black": np.zeros((30, 30, 3), np.uint8),
        "white": np.full((30, 30, 3), 255, np.uint8),
        "float64": rng.uniform(-20, 300, (20, 25, 3)),
        "uint16": rng.randint(0, 600, (20, 25, 4)).astype(np.uint16),
        "float32": rng.uniform(0, 255, (10, 12, 3)).astype(np.float32),
    }


@pytest.mark.parametrize("name", list(images()))
@pytest.mark.parametrize("init_delta", [32, 50, 100, 49, 0, 77.5])
def test_transform_replayed_on_both_generators(name, init_delta, capsys):
    img = images()[name]
    keep = img.copy()
    random.seed(21)
    np.random.seed(21)
    out = denvik_transform(img, init_delta)
    got_np, got_py = np_state(), random.getstate()
    printed = capsys.readouterr().out

    random.seed(21)
    np.random.seed(21)
    dark, _ = darken_ref(img, init_delta)
    expected = noise_ref(dark)
    assert out.dtype == np.uint8 and out.shape == img.shape
    assert np.array_equal(out, expected)
    assert same_np_state(got_np, np_state()) and got_py == random.getstate()
    assert printed == (WARNING if init_delta < 50 else "")
    assert np.array_equal(img, keep)


@pytest.mark.parametrize("init_delta, low, high", [(32, -32, -26), (50, -50, -40), (49, -49, -40),
                                                   (100, -100, -80), (0, 0, 0)])
def test_offset_range(init_delta, low, high, capsys):
    white = np.full((4, 4), 255, np.uint8)
    for seed in range(40):
        np.random.seed(seed)
        out = _dwn_brightness(white, init_delta)
        assert len(np.unique(out)) == 1
        level = int(out[0, 0]) - 255
        assert low <= level <= max(low, high - 1)
    printed = capsys.readouterr().out
    assert printed == (WARNING * 40 if init_delta < 50 else "")


@pytest.mark.parametrize("shape", [(6,), (5, 7), (3, 4, 2, 2), (8, 9, 3), ()])
def test_darkening_any_shape(shape, capsys):
    img = (np.arange(int(np.prod(shape))) * 37 % 256).astype(np.uint8).reshape(shape)
    np.random.seed(3)
    out = _dwn_brightness(img)
    np.random.seed(3)
    expected, _ = darken_ref(img, 32)
    assert out.shape == shape and np.array_equal(out, expected)
    assert capsys.readouterr().out == WARNING


def test_warning_goes_to_redirected_stdout():
    import contextlib
    import io
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        _dwn_brightness(np.zeros((2, 2, 3), np.uint8), 10)
    assert buf.getvalue() == WARNING


@pytest.mark.parametrize("name", ["uint8", "float64", "black", "float32"])
def test_noise_step_replayed(name):
    img = images()[name]
    random.seed(2)
    np.random.seed(2)
    out = _generate_denvik(img)
    got_np, got_py = np_state(), random.getstate()
    random.seed(2)
    np.random.seed(2)
    expected = noise_ref(img)
    assert np.array_equal(out, expected)
    assert same_np_state(got_np, np_state()) and got_py == random.getstate()


def test_black_gains_only_positive_noise():
    out = _generate_denvik(np.zeros((200, 200, 3), np.uint8))
    assert 0.45 < (out == 0).mean() < 0.55
    assert out.max() > 50


@pytest.mark.parametrize("shape", [(10, 10), (2, 3, 3, 1)])
def test_grey_image_fails_after_the_darkening(shape, capsys):
    img = np.full(shape, 90, np.uint8)
    random.seed(1)
    np.random.seed(1)
    with pytest.raises(ValueError, match="values to unpack"):
        denvik_transform(img, 20)
    assert capsys.readouterr().out == WARNING
    py_after, np_after = random.getstate(), np_state()
    random.seed(1)
    np.random.seed(1)
    np.random.uniform(-20, -16)
    assert py_after == random.getstate() and same_np_state(np_after, np_state())
    before = np_state()
    with pytest.raises(ValueError, match="values to unpack"):
        _generate_denvik(img)
    assert same_np_state(before, np_state())


@pytest.mark.parametrize("bad", ["60", None, [60]])
def test_init_delta_must_be_a_number(bad):
    with pytest.raises(TypeError):
        denvik_transform(np.zeros((3, 3, 3), np.uint8), bad)


@pytest.mark.parametrize("bad", [[[1, 2, 3]], np.zeros((3, 3, 3), object), np.zeros((2, 2, 3), complex)])
def test_bad_images(bad, capsys):
    for call in (lambda: denvik_transform(bad, 60), lambda: _dwn_brightness(bad, 60),
                 lambda: _generate_denvik(bad)):
        with pytest.raises(TypeError):
            call()


def test_strided_view_and_arguments():
    base = np.random.RandomState(9).randint(0, 256, (30, 40, 3)).astype(np.uint8)
    view = base[:, ::-2]
    random.seed(4)
    np.random.seed(4)
    a = denvik_transform(view, 60)
    random.seed(4)
    np.random.seed(4)
    b = denvik_transform(np.ascontiguousarray(view), init_delta=60)
    assert np.array_equal(a, b)
    with pytest.raises(TypeError):
        denvik_transform(base)
    with pytest.raises(TypeError):
        denvik._generate_denvik(base, 3)


@pytest.mark.parametrize("call", [lambda img: denvik_transform(img, 60), lambda img: _dwn_brightness(img, 60),
                                  _generate_denvik])
def test_pixel_work_releases_the_gil(call):
    img = np.random.RandomState(0).randint(0, 256, (1500, 2000, 3)).astype(np.uint8)
    img = img.astype(np.float64) if call is not _generate_denvik else img
    assert python_turns_during(lambda: call(img)) > 1000
