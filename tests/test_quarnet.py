import numpy as np
import pytest

from kiro.utils.quarnet import quarnet


def reference(p):
    p = p.reshape(1, -1) if p.ndim == 1 else p
    x, y = p[:, 0::2], p[:, 1::2]
    return np.stack([x.min(1), y.min(1), x.max(1), y.max(1)], axis=1)


@pytest.mark.parametrize("polygon, expected", [
    ([10, 20, 30, 5, 15, 40], [[10, 5, 30, 40]]),
    ([[0, 0, 4, 0, 4, 3, 0, 3], [7, 9, 2, 1, 5, 5, 6, 8]], [[0, 0, 4, 3], [2, 1, 7, 9]]),
    ([[-5, 3, 2, -8, 1]], [[-5, -8, 2, 3]]),  # odd M: the extra x counts
    ([[1, 2]], [[1, 2, 1, 2]]),
    (np.array([[-2 ** 63, 0, 2 ** 63 - 1, -1]]), [[-2 ** 63, -1, 2 ** 63 - 1, 0]]),
    (np.array([[2 ** 64 - 1, 0, 2 ** 63, 5]], np.uint64), [[2 ** 63, 0, 2 ** 64 - 1, 5]]),
    (np.array([[0.25, -1.5, 3.75, 2.125]], np.float32), [[0.25, -1.5, 3.75, 2.125]]),  # not rounded
])
def test_examples(polygon, expected):
    polygon = polygon if isinstance(polygon, np.ndarray) else np.array(polygon, np.int64)
    out = quarnet(polygon)
    assert out.shape == (len(expected), 4) and out.dtype == polygon.dtype
    np.testing.assert_array_equal(out, np.array(expected, polygon.dtype))


@pytest.mark.parametrize("dtype", [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32,
                                   np.int64, np.uint64, np.float16, np.float32, np.float64,
                                   np.longdouble, bool])
def test_types_kept(dtype):
    rng = np.random.RandomState(1)
    p = (rng.rand(9, 10) * 100 - (0 if np.dtype(dtype).kind in "ub" else 50)).astype(dtype)
    out = quarnet(p)
    assert out.dtype == p.dtype
    np.testing.assert_array_equal(out, reference(p))


@pytest.mark.parametrize("row", [[np.nan, 1, 2, 3], [1, 1, np.nan, 3], [1, 2, 3, np.nan]])
def test_nan_propagates_like_numpy(row):
    p = np.array([row])
    np.testing.assert_array_equal(quarnet(p), reference(p))


@pytest.mark.parametrize("view", [
    lambda a: a[::-1],
    lambda a: a[:, ::-1],
    lambda a: a[::2, 1:],
    lambda a: np.asfortranarray(a),
    lambda a: a.astype(">i4"),
])
def test_strided_and_swapped_views(view):
    a = np.random.RandomState(2).randint(-100, 100, (6, 9)).astype(np.int32)
    v = view(a)
    before = v.copy()
    np.testing.assert_array_equal(quarnet(v), reference(v))
    np.testing.assert_array_equal(v, before)


@pytest.mark.parametrize("shape, result", [((0, 8), (0, 4)), ((0, 2), (0, 4))])
def test_no_polygons(shape, result):
    out = quarnet(np.zeros(shape, np.float32))
    assert out.shape == result and out.dtype == np.float32


@pytest.mark.parametrize("polygon, exc", [
    (np.zeros((3, 1)), ValueError),
    (np.zeros((3, 0)), ValueError),
    (np.zeros((0, 1)), ValueError),
    (np.zeros(1), ValueError),
    (np.zeros(0), ValueError),
    (np.zeros((2, 2, 2)), ValueError),
    (np.zeros(()), ValueError),
    (np.array([["a", "b"]]), TypeError),
    (np.zeros((1, 4), complex), TypeError),
    ([[1, 2, 3, 4]], AttributeError),
    (None, AttributeError),
])
def test_bad_input(polygon, exc):
    with pytest.raises(exc):
        quarnet(polygon)


def test_zero_size_message_matches_numpy():
    with pytest.raises(ValueError) as ours:
        quarnet(np.zeros((2, 1)))
    with pytest.raises(ValueError) as theirs:
        reference(np.zeros((2, 1)))
    assert str(ours.value) == str(theirs.value)


def test_binding():
    np.testing.assert_array_equal(quarnet(polygon=np.array([1, 2, 3, 4])), [[1, 2, 3, 4]])
    with pytest.raises(TypeError):
        quarnet(np.zeros((1, 4)), np.zeros((1, 4)))
