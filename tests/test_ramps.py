"""Column and row brightness ramps: cabrol / HorizontalLight, fennick / VerticalLight."""

import random
import threading
import warnings
from collections import namedtuple

import numpy as np
import pytest

from kiro.core import cabrol as cabrol_mod
from kiro.core import fennick as fennick_mod
from kiro.core.KirO import LIGHT_LINEAR, LIGHT_LOG
from kiro.utils.nuvaro import light_space_process

Ramp = namedtuple("Ramp", "name module op cls axis")
RAMPS = [
    Ramp("cabrol", cabrol_mod, cabrol_mod.cabrol, cabrol_mod.HorizontalLight, 1),
    Ramp("fennick", fennick_mod, fennick_mod.fennick, fennick_mod.VerticalLight, 0),
]
ramps = pytest.mark.parametrize("ramp", RAMPS, ids=[r.name for r in RAMPS])


def reference(image, x, axis):
    """The ramp written directly in NumPy: add, clip, convert back."""
    x = np.asarray(x, np.float64)
    if axis == 1:
        weight = np.tile(x.reshape(-1, 1), image.shape[2]) if image.ndim == 3 else x
    else:
        weight = (np.tile(x.reshape(-1, 1), image.shape[2])[:, None, :] if image.ndim == 3
                  else x.reshape(-1, 1))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return np.clip(image.astype(np.float64) + weight, 0, 255).astype(image.dtype)


def make_image(shape, dtype, seed):
    rng = np.random.RandomState(seed)
    if np.dtype(dtype).kind == "f":
        return (rng.uniform(-20, 280, shape)).astype(dtype)
    if np.dtype(dtype) == np.bool_:
        return rng.randint(0, 2, shape).astype(bool)
    info = np.iinfo(dtype)
    return rng.randint(max(info.min, -40), min(info.max, 300) + 1, shape).astype(dtype)


def same(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b, equal_nan=True)


# ---------------------------------------------------------------------------
# Arithmetic


@ramps
@pytest.mark.parametrize("shape", [(7, 9), (7, 9, 3), (5, 6, 4), (6, 5, 1), (1, 8, 3), (8, 1)])
@pytest.mark.parametrize("dtype", [np.uint8, np.int16, np.uint16, np.int8, np.int32, np.float32, np.float64])
@pytest.mark.parametrize("space,scale", [(LIGHT_LINEAR, 50), (LIGHT_LINEAR, (-30, 60)), (LIGHT_LINEAR, 300),
                                         (LIGHT_LINEAR, -7.3), (LIGHT_LOG, 3), (LIGHT_LOG, -0.5),
                                         (LIGHT_LOG, 50), (LIGHT_LOG, (0, 2.5))])
def test_do_matches_numpy(ramp, shape, dtype, space, scale):
    for seed in (0, 1, 2):
        image = make_image(shape, dtype, seed)
        before = image.copy()
        out = ramp.cls(1, space, scale).do(image)
        x = light_space_process(space, scale, shape[ramp.axis])
        assert out is not image
        assert same(out, reference(image, x, ramp.axis))
        assert same(image, before)


@ramps
@pytest.mark.parametrize("offsets", [
    [2 - 2.0 ** -50, 2 + 2.0 ** -50, -1e-17, 1e-17, -2.0 ** -44, 254.99999999999997],
    [0.5, -0.5, 255, -255, 255.5, -300.25],
    [np.inf, -np.inf, 17 - 2.0 ** -46, -3 - 2.0 ** -47, 100, 0],
    [np.nan, 1, 2, 3, 4, 5],
])
def test_u8_exact_for_every_value(ramp, offsets, monkeypatch):
    """Every 8-bit value under offsets whose rounding depends on the value."""
    n = len(offsets)
    values = np.arange(256, dtype=np.uint8)
    image = (np.tile(values[:, None], (1, n)) if ramp.axis == 1 else np.tile(values[None, :], (n, 1)))
    monkeypatch.setattr(ramp.module, "light_space_process",
                        lambda space_type, light_scale, length: np.array(offsets, np.float64))
    for img in (image, np.repeat(image[:, :, None], 3, axis=2)):
        out = ramp.cls(1, LIGHT_LINEAR, 1).do(img)
        assert same(out, reference(img, offsets, ramp.axis))


@ramps
@pytest.mark.parametrize("view", ["columns", "reversed", "channels", "fortran", "big_endian"])
def test_views_and_byte_order(ramp, view):
    base = make_image((9, 12, 4), np.uint16, 3)
    image = {"columns": base[:, ::2], "reversed": base[::-1, ::-1], "channels": base[..., :3],
             "fortran": np.asfortranarray(base), "big_endian": base.astype(">u2")}[view]
    before = image.copy()
    out = ramp.cls(1, LIGHT_LINEAR, 40).do(image)
    x = light_space_process(LIGHT_LINEAR, 40, image.shape[ramp.axis])
    assert same(out, reference(image, x, ramp.axis))
    assert same(image, before)


@ramps
@pytest.mark.parametrize("dtype", [np.float16, np.bool_, np.uint64, np.int64])
def test_other_element_types_kept(ramp, dtype):
    image = make_image((6, 7, 3), dtype, 5)
    out = ramp.cls(1, LIGHT_LINEAR, (-2.5, 3.5)).do(image)
    x = light_space_process(LIGHT_LINEAR, (-2.5, 3.5), image.shape[ramp.axis])
    assert same(out, reference(image, x, ramp.axis))


@ramps
@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.int16, np.int32, np.uint64, np.bool_])
@pytest.mark.parametrize("scale", [3, float("inf"), float("nan")])
def test_non_finite_values(ramp, dtype, scale):
    """NaN and infinite pixels (real inputs) or offsets end as NumPy's conversion gives them."""
    row = [np.nan, 1, -np.inf, np.inf, 300, -5, 2.5, 7] if np.dtype(dtype).kind == "f" else [0, 1, 2, 3, 4, 5, 6, 7]
    image = np.array([row] * 5, dtype)
    out = ramp.cls(1, LIGHT_LINEAR, scale).do(image)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        x = light_space_process(LIGHT_LINEAR, scale, image.shape[ramp.axis])
    assert same(out, reference(image, x, ramp.axis))


@ramps
def test_run_direction(ramp):
    """A 2 x 2 image with the run (-10, 10): the first column/row loses, the second gains."""
    image = np.full((2, 2), 100, np.uint8)
    out = ramp.cls(1, LIGHT_LINEAR, (-10, 10)).do(image)
    first = out[:, 0] if ramp.axis == 1 else out[0]
    second = out[:, 1] if ramp.axis == 1 else out[1]
    assert (first == 90).all() and (second == 110).all()


# ---------------------------------------------------------------------------
# Draws


def replay_scale(r, mean, space):
    if space == LIGHT_LINEAR:
        return r.randint(-mean, mean)
    candidates = [r.random(), -r.random(), r.randint(-mean, mean)]
    return r.choice(candidates)


@ramps
@pytest.mark.parametrize("space", [LIGHT_LINEAR, LIGHT_LOG])
@pytest.mark.parametrize("prob", [0.5, 1.0])
@pytest.mark.parametrize("seed", range(8))
def test_scale_draws_replayed(ramp, space, prob, seed):
    image = make_image((10, 12, 3), np.uint8, seed)
    mean = int(image.astype(np.float64).mean())
    r = random.Random(seed)
    scale = replay_scale(r, mean, space)
    acts = r.random() < prob
    random.seed(seed)
    out = ramp.op(image, prob, None, space)
    assert random.getstate() == r.getstate()
    if not acts:
        assert out is image
    elif space == LIGHT_LOG and scale == 0:
        assert same(out, image) and out is not image
    else:
        x = light_space_process(space, scale, image.shape[ramp.axis])
        assert same(out, reference(image, x, ramp.axis))


@ramps
@pytest.mark.parametrize("scale", [20, (-30, 60), 2.5])
@pytest.mark.parametrize("space", [LIGHT_LINEAR, LIGHT_LOG])
def test_given_scale_draws_only_the_gate(ramp, scale, space):
    image = make_image((6, 8, 3), np.uint8, 9)
    random.seed(5)
    out = ramp.op(image, 1, scale, space)
    r = random.Random(5)
    r.random()
    assert random.getstate() == r.getstate()
    x = light_space_process(space, scale, image.shape[ramp.axis])
    assert same(out, reference(image, x, ramp.axis))


@ramps
@pytest.mark.parametrize("scale", [None, 20])
@pytest.mark.parametrize("space", [LIGHT_LINEAR, LIGHT_LOG])
def test_prob_zero_returns_same_object(ramp, scale, space):
    image = make_image((6, 8, 3), np.uint8, 1)
    mean = int(image.mean())
    random.seed(11)
    assert ramp.op(image, 0, scale, space) is image
    r = random.Random(11)
    if scale is None:
        replay_scale(r, mean, space)
    r.random()
    assert random.getstate() == r.getstate()
    for skipped in (image, [1, 2], np.zeros((2, 2, 2, 2))):
        assert ramp.cls(0.0).do(skipped) is skipped


def seed_picking_zero(mean):
    """A seed whose LIGHT_LOG scale draw picks the integer candidate 0."""
    for seed in range(1000):
        r = random.Random(seed)
        if replay_scale(r, mean, LIGHT_LOG) == 0:
            return seed
    raise AssertionError("no seed found")


@ramps
@pytest.mark.parametrize("shape,dtype", [((5, 7, 3), np.uint8), ((5, 7), np.uint8), ((4, 6, 4), np.float32)])
def test_black_image_log_gives_zero_run(ramp, shape, dtype):
    black = np.zeros(shape, dtype)
    random.seed(seed_picking_zero(0))
    out = ramp.op(black, 1, None, LIGHT_LOG)
    assert out is not black and same(out, black)
    with pytest.raises(ZeroDivisionError):
        light_space_process(LIGHT_LOG, 0, 5)
    # A 0 that the caller gives, or that the class holds, still fails.
    with pytest.raises(ZeroDivisionError):
        ramp.op(black, 1, 0, LIGHT_LOG)
    with pytest.raises(ZeroDivisionError):
        ramp.cls(1, LIGHT_LOG, 0).do(black)


@ramps
def test_drawn_zero_on_bright_image(ramp):
    """The integer candidate can be 0 on any image; the run is then zeros too."""
    image = make_image((6, 5, 3), np.uint8, 2)
    random.seed(seed_picking_zero(int(image.mean())))
    assert same(ramp.op(image, 1, None, LIGHT_LOG), image)


# ---------------------------------------------------------------------------
# Classes


@ramps
def test_class_defaults_and_attributes(ramp):
    light = ramp.cls()
    assert light.prob == 0.5 and light.space_type == LIGHT_LINEAR
    assert light.light_scale == 50 and type(light.light_scale) is int
    light = ramp.cls(0.25, LIGHT_LOG, (1, 2))
    assert (light.prob, light.space_type, light.light_scale) == (0.25, LIGHT_LOG, (1, 2))
    light = ramp.cls(light_scale=7, prob=1)
    assert (light.prob, light.space_type, light.light_scale) == (1, LIGHT_LINEAR, 7)
    assert repr(light) == "%s(prob=1, space_type=%r, light_scale=7)" % (ramp.cls.__name__, LIGHT_LINEAR)


@ramps
def test_attributes_are_read_by_do_and_kept(ramp):
    image = make_image((6, 8, 3), np.uint8, 6)
    light = ramp.cls(0.0, 12345, None)  # not checked at construction
    light.prob, light.space_type, light.light_scale = 1, LIGHT_LOG, (-1, 1.5)
    for _ in range(2):
        out = light.do(image)
        x = light_space_process(LIGHT_LOG, (-1, 1.5), image.shape[ramp.axis])
        assert same(out, reference(image, x, ramp.axis))
    assert (light.prob, light.space_type, light.light_scale) == (1, LIGHT_LOG, (-1, 1.5))


@ramps
def test_operation_argument_binding(ramp):
    image = make_image((4, 5, 3), np.uint8, 0)
    out = ramp.op(image=image, prob=1, light_scale=10, space_type=LIGHT_LINEAR)
    assert same(out, reference(image, light_space_process(LIGHT_LINEAR, 10, image.shape[ramp.axis]), ramp.axis))
    with pytest.raises(TypeError):
        ramp.op(image, 1, 10, LIGHT_LINEAR, 0)
    with pytest.raises(TypeError):
        ramp.op(image, scale=3)
    with pytest.raises(TypeError):
        ramp.op()
    with pytest.raises(TypeError):
        ramp.cls(1).do()


@ramps
def test_operation_defaults(ramp):
    """prob 0.5 and LIGHT_LINEAR: one randint for the scale, then the gate."""
    image = make_image((5, 6, 3), np.uint8, 8)
    mean = int(image.mean())
    for seed in range(6):
        random.seed(seed)
        out = ramp.op(image)
        r = random.Random(seed)
        scale = r.randint(-mean, mean)
        if r.random() < 0.5:
            assert same(out, reference(image, light_space_process(LIGHT_LINEAR, scale, image.shape[ramp.axis]),
                                       ramp.axis))
        else:
            assert out is image


# ---------------------------------------------------------------------------
# Errors

SPACE_MSG = "Light space type is not specified. It should be either 'LIGHT_LINEAR' or 'LIGHT_LOG'."
SCALE_MSG = "Wrong light_scale type, it should be one of None, float/int or tuple/list"


def raises_plain(message, call):
    with pytest.raises(Exception) as info:
        call()
    assert type(info.value) is Exception and str(info.value) == message


@ramps
def test_four_axes_after_gate_and_run(ramp):
    image = np.zeros((3, 4, 3, 2), np.uint8)
    raises_plain("Wrong image chanel!", lambda: ramp.cls(1).do(image))
    raises_plain(SPACE_MSG, lambda: ramp.cls(1, 999, 10).do(image))
    raises_plain(SCALE_MSG, lambda: ramp.cls(1, LIGHT_LINEAR, "x").do(image))
    random.seed(3)
    raises_plain("Wrong image chanel!", lambda: ramp.op(image, 1))
    r = random.Random(3)
    r.randint(0, 0)
    r.random()
    assert random.getstate() == r.getstate()


@ramps
def test_few_axes_differ_between_twins(ramp):
    line = np.arange(6, dtype=np.uint8)
    if ramp.axis == 1:
        with pytest.raises(IndexError):
            ramp.cls(1).do(line)
    else:
        raises_plain("Wrong image chanel!", lambda: ramp.cls(1).do(line))
    with pytest.raises(IndexError):
        ramp.cls(1).do(np.array(5, np.uint8))


@ramps
def test_unknown_space_keeps_none_scale(ramp):
    image = make_image((4, 5, 3), np.uint8, 1)
    random.seed(2)
    raises_plain(SCALE_MSG, lambda: ramp.op(image, 1, None, 999))
    r = random.Random(2)
    r.random()
    assert random.getstate() == r.getstate()


@ramps
@pytest.mark.parametrize("bad", [np.zeros((3, 4, 3), complex), np.zeros((3, 4), object), np.zeros((3, 4), "U2"),
                                 [[1, 2], [3, 4]]])
def test_bad_images_raise_type_error(ramp, bad):
    with pytest.raises(TypeError):
        ramp.cls(1).do(bad)
    with pytest.raises(TypeError):
        ramp.op(bad, 1)  # the mean is refused before any draw
    assert ramp.cls(0).do(bad) is bad


@ramps
def test_empty_images(ramp):
    empty = np.zeros((0, 5, 3), np.uint8)
    out = ramp.cls(1, LIGHT_LINEAR, 5).do(empty)
    assert out.shape == empty.shape and out.dtype == empty.dtype and out is not empty
    with pytest.raises(ValueError):
        ramp.op(empty, 1)


@ramps
def test_run_looked_up_at_call_time(ramp, monkeypatch):
    calls = []

    def fake(space_type, light_scale, length):
        calls.append((space_type, light_scale, length))
        return np.arange(length, dtype=np.float64)

    monkeypatch.setattr(ramp.module, "light_space_process", fake)
    image = make_image((4, 6, 3), np.uint8, 0)
    out = ramp.op(image, 1, (3, 4), "anything")
    assert calls == [("anything", (3, 4), image.shape[ramp.axis])]
    assert same(out, reference(image, np.arange(image.shape[ramp.axis]), ramp.axis))


@ramps
def test_threads_give_the_same_results(ramp):
    images = [make_image((120, 160, 3), np.uint8, s) for s in range(4)]
    expected = [ramp.cls(1, LIGHT_LINEAR, 70).do(im) for im in images]
    results = [None] * len(images)

    def work(i):
        for _ in range(20):
            results[i] = ramp.cls(1, LIGHT_LINEAR, 70).do(images[i])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(images))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(same(a, b) for a, b in zip(results, expected))
