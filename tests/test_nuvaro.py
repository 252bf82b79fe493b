import math
import warnings

import numpy as np
import pytest

import kiro.utils.nuvaro as nuvaro_mod
from kiro.core.KirO import LIGHT_LINEAR, LIGHT_LOG
from kiro.utils.nuvaro import light_space_process

SPACE_MSG = "Light space type is not specified. It should be either 'LIGHT_LINEAR' or 'LIGHT_LOG'."
LENGTH_MSG = "Bad light_scale length."
TYPE_MSG = "Wrong light_scale type, it should be one of None, float/int or tuple/list"


def numpy_run(space, s, n):
    """The NumPy formulation of the runs."""
    if isinstance(s, (tuple, list)):
        return (np.linspace if space == LIGHT_LINEAR else np.logspace)(s[0], s[1], n)
    s = float(s)
    if space == LIGHT_LINEAR:
        return np.linspace(-s, s, n)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if s < -1:
            return np.logspace(np.log(1 / -s), np.log(-s), n)[::-1]
        if s < 0:
            return (-np.logspace(np.log(-s), np.log(1 / -s), n))[::-1]
        if s < 1:
            return -np.logspace(np.log(s), np.log(1 / s), n)
        return np.logspace(np.log(1 / s), np.log(s), n)


def same_bits(a, b):
    b = np.ascontiguousarray(b, np.float64)
    return a.dtype == np.float64 and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("space, s, n, expected", [
    (LIGHT_LINEAR, 2, 5, [-2, -1, 0, 1, 2]),
    (LIGHT_LINEAR, -2, 5, [2, 1, 0, -1, -2]),
    (LIGHT_LOG, math.e, 3, [0.1, 1, 10]),
    (LIGHT_LOG, 2, 3, [0.2027, 1, 4.9334]),
    (LIGHT_LOG, -2, 3, [4.9334, 1, 0.2027]),
    (LIGHT_LOG, 0.5, 3, [-0.2027, -1, -4.9334]),
    (LIGHT_LOG, -0.5, 3, [-4.9334, -1, -0.2027]),
    (LIGHT_LOG, 1, 4, [1, 1, 1, 1]),
    (LIGHT_LOG, -1, 4, [-1, -1, -1, -1]),
    (LIGHT_LOG, 50, 2, [0.00012246, 8166.26]),
    (LIGHT_LINEAR, (10, 20), 3, [10, 15, 20]),
    (LIGHT_LOG, (0, 2), 3, [1, 10, 100]),
    (LIGHT_LINEAR, [10, 20, 99], 3, [10, 15, 20]),
    (LIGHT_LINEAR, 3, 1, [-3]),
    (LIGHT_LOG, 2, 1, [0.2027]),
    (LIGHT_LOG, -2, 1, [0.2027]),  # start value, before the reversal
    (LIGHT_LINEAR, 3, 0, []),
    (LIGHT_LOG, 0.5, 0, []),
])
def test_examples(space, s, n, expected):
    out = light_space_process(space, s, n)
    assert out.dtype == np.float64 and out.shape == (n,)
    np.testing.assert_allclose(out, expected, rtol=1e-3)


@pytest.mark.filterwarnings("ignore:overflow encountered:RuntimeWarning")
@pytest.mark.parametrize("space", [LIGHT_LINEAR, LIGHT_LOG])
@pytest.mark.parametrize("s", [0.1, 0.37, 0.999, 1.0, 1.7, 3, 50, 255, -0.2, -1.0, -4.5, 1e-300,
                               (0.1, 0.9), (-3, 7.25), [5, 5], (1e-320, 3e-320)])
@pytest.mark.parametrize("n", [0, 1, 2, 3, 10, 641, 1920])
def test_bit_exact_with_numpy(space, s, n):
    assert same_bits(light_space_process(space, s, n), numpy_run(space, s, n))


@pytest.mark.parametrize("s", [np.int64(3), np.int8(-2), np.uint16(7), True, np.float32(0.3), np.float64(2.5)])
@pytest.mark.parametrize("space", [LIGHT_LINEAR, LIGHT_LOG])
def test_array_scalars_and_bools(space, s):
    assert same_bits(light_space_process(space, s, 9), numpy_run(space, float(s), 9))


@pytest.mark.parametrize("n", [np.int32(5), np.uint8(5), True])
def test_length_integer_kinds_and_new_result(n):
    a = light_space_process(LIGHT_LOG, 2, n)
    assert a.shape == (int(n),) and a.flags.writeable and a.flags.c_contiguous
    a[:] = 0
    assert light_space_process(LIGHT_LOG, 2, n).all()


@pytest.mark.parametrize("space, s, msg", [
    ("linear", 2, SPACE_MSG),
    (None, 2, SPACE_MSG),
    (LIGHT_LOG + 1000, (1, 2), SPACE_MSG),
    (LIGHT_LINEAR, [1], LENGTH_MSG),
    (LIGHT_LINEAR, (), LENGTH_MSG),
    ("nothing", [1], LENGTH_MSG),  # length before space type
    (LIGHT_LINEAR, None, TYPE_MSG),
    (LIGHT_LINEAR, "2", TYPE_MSG),
    (LIGHT_LINEAR, np.array([1.0, 2.0]), TYPE_MSG),
    (LIGHT_LINEAR, {0: 1, 1: 2}, TYPE_MSG),
    ("nothing", None, TYPE_MSG),  # scale kind before space type
])
def test_plain_exceptions(space, s, msg):
    with pytest.raises(Exception) as e:
        light_space_process(space, s, 5)
    assert type(e.value) is Exception and str(e.value) == msg


@pytest.mark.parametrize("s", [0, 0.0, np.float64(0.0), np.int64(0), False])
def test_log_of_zero_divides_by_zero(s):
    with pytest.raises(ZeroDivisionError, match="^float division by zero$"):
        light_space_process(LIGHT_LOG, s, 5)


@pytest.mark.parametrize("n, exc", [(2.0, TypeError), ("3", TypeError), (None, TypeError), (-1, ValueError)])
def test_bad_length(n, exc):
    with pytest.raises(exc):
        light_space_process(LIGHT_LINEAR, 2, n)


def test_constants_read_at_call_time(monkeypatch):
    monkeypatch.setattr(nuvaro_mod, "LIGHT_LOG", "log")
    assert same_bits(light_space_process("log", 2, 3), numpy_run(LIGHT_LOG, 2, 3))
    with pytest.raises(Exception, match="Light space type"):
        light_space_process(LIGHT_LOG, 2, 3)


def test_module_holds_every_constant():
    import kiro.core.KirO as K
    for name in K.__all__:
        assert getattr(nuvaro_mod, name) == getattr(K, name)


def test_binding():
    out = light_space_process(length=3, light_scale=(0, 1), space_type=LIGHT_LINEAR)
    np.testing.assert_array_equal(out, [0, 0.5, 1])
    with pytest.raises(TypeError):
        light_space_process(LIGHT_LINEAR, 2)
