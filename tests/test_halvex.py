import math

import numpy as np
import pytest

from kiro.utils.halvex import cal_sigma, gaussian, generate_gaussian_map


def numpy_map(img_size, region):
    """The plain NumPy formulation: meshgrid, differences, exp."""
    x = np.arange(img_size[1], dtype=np.float64)
    y = np.arange(img_size[0], dtype=np.float64)
    xx, yy = np.meshgrid(x, y)
    xxyy = np.c_[xx.ravel(), yy.ravel()]
    region = np.asarray(region).reshape(4, 2).astype(int)
    dmax = min(region[:, 1].max() - region[:, 1].min(), region[:, 0].max() - region[:, 0].min())
    sigma = math.sqrt(-float(dmax) ** 2 / math.log(0.01))
    m1 = (int(np.mean(region[:, 0])), int(np.mean(region[:, 1])))
    d = xxyy - m1
    return np.exp(-(d[:, 0] ** 2 + d[:, 1] ** 2) / 2 / sigma ** 2).reshape(img_size)


@pytest.mark.parametrize("img_size, region", [
    ((50, 70), [10, 10, 30, 10, 30, 20, 10, 20]),
    ((50, 70), np.array([[30, 20], [10, 10], [10, 20], [30, 10]])),
    ((64, 48), np.array([10.9, 3.2, 40.7, 3.9, 40.1, 33.5, -0.8, 33.0])),
    ((40, 30), [-100, -50, 300, -50, 300, 200, -100, 200]),  # centre off the map
    ((20, 25), [200, 210, 230, 210, 230, 260, 200, 260]),    # region far outside
    ((1, 300), [5, 0, 100, 0, 100, 7, 5, 7]),
    ((333, 1), [0, 5, 3, 5, 3, 90, 0, 90]),
    ((180, 320), [17, 40, 301, 22, 280, 170, 30, 150]),
    ((0, 5), [0, 0, 2, 0, 2, 2, 0, 2]),
])
def test_matches_numpy_formulation(img_size, region):
    ours = generate_gaussian_map(img_size, region)
    ref = numpy_map(img_size, region)
    assert ours.shape == ref.shape
    assert np.allclose(ours, ref, rtol=1e-12, atol=0)


@pytest.mark.parametrize("region, centre", [
    ([10, 10, 30, 10, 30, 20, 10, 20], (15, 20)),
    ([-3, -3, 3, -3, 3, 3, -3, 3], (0, 0)),
    ([1.9, 2.9, 5.9, 2.9, 5.9, 8.9, 1.9, 8.9], (5, 3)),  # truncated corners: (1, 2)..(5, 8)
])
def test_centre_and_decay(region, centre):
    m = generate_gaussian_map((40, 50), region)
    r, c = np.unravel_index(m.argmax(), m.shape)
    assert (r, c) == centre and m[r, c] == 1.0
    c4 = np.asarray(region).reshape(4, 2).astype(int)
    dmax = min(np.ptp(c4[:, 0]), np.ptp(c4[:, 1]))
    assert m[r, c + dmax] == pytest.approx(0.1, rel=1e-12)
    assert m[r + dmax, c] == pytest.approx(0.1, rel=1e-12)


@pytest.mark.parametrize("region, centre", [
    ([5, 5, 5, 5, 9, 5, 9, 5], (5, 7)),   # zero height
    ([4, 2, 4, 9, 4, 2, 4, 9], (5, 4)),   # zero width
    ([3, 3, 3, 3, 3, 3, 3, 3], (3, 3)),   # a point
    ([20, 1, 30, 1, 30, 1, 20, 1], None),  # centre off the map
])
def test_zero_extent_gives_single_peak(region, centre):
    m = generate_gaussian_map((12, 12), region)
    expected = np.zeros((12, 12))
    if centre:
        expected[centre] = 1.0
    np.testing.assert_array_equal(m, expected)


SQUARE = [0, 0, 2, 0, 2, 2, 0, 2]


@pytest.mark.parametrize("img_size, region, exc", [
    ([3, 4], SQUARE, TypeError), (None, SQUARE, TypeError), (np.array([3, 4]), SQUARE, TypeError),
    ((3,), SQUARE, ValueError), ((3, 4, 1), SQUARE, ValueError), ((3.0, 4), SQUARE, TypeError),
    ((-1, 4), SQUARE, ValueError), ((10 ** 7, 10 ** 7), SQUARE, ValueError),
    ((5, 5), SQUARE[:7], ValueError), ((5, 5), np.zeros((4, 2, 2)), ValueError),
    ((5, 5), SQUARE[:7] + [np.nan], ValueError), ((5, 5), ["a"] * 8, TypeError),
])
def test_bad_input(img_size, region, exc):
    with pytest.raises(exc) as e:
        generate_gaussian_map(img_size, region)
    if img_size is None or isinstance(img_size, (list, np.ndarray)):
        assert "img_size" in str(e.value)


@pytest.mark.parametrize("dmax, edge", [(2, 0.01), (10, 0.01), (3.5, 0.5), (7, 1e-9), (0, 0.3), (np.int64(4), 0.2)])
def test_cal_sigma_formula(dmax, edge):
    s = cal_sigma(dmax, edge)
    assert s == math.sqrt(-float(dmax) ** 2 / math.log(edge))
    if dmax:
        assert math.exp(-float(dmax) ** 2 / (2 * s * s)) == pytest.approx(math.sqrt(edge), rel=1e-12)


@pytest.mark.parametrize("edge, exc", [(0, ValueError), (-0.5, ValueError), (1.5, ValueError),
                                       (1, ZeroDivisionError), (1.0, ZeroDivisionError), ("0.1", TypeError)])
def test_cal_sigma_errors(edge, exc):
    with pytest.raises(exc):
        cal_sigma(3, edge)


@pytest.mark.parametrize("make", [
    lambda: np.array([[0, 0], [3, 4], [5, 2], [-1, 7]], np.float64),
    lambda: np.array([[0, 0], [3, 4], [5, 2], [-1, 7]], np.float32),
    lambda: np.array([[0, 0], [3, 4], [5, 2], [-1, 7]], np.int32),
    lambda: np.arange(24, dtype=np.float64).reshape(6, 4)[::2, 1:3],  # a view: its base changes
])
def test_gaussian_subtracts_in_place(make):
    pts = make()
    original = pts.copy()
    out = gaussian(pts, (2, 1), 1.5)
    np.testing.assert_array_equal(pts, original - np.array([2, 1], pts.dtype))
    # The array arithmetic on the differences: float32 stays float32, the rest give float64.
    expected = np.exp(-(pts[:, 0] ** 2 + pts[:, 1] ** 2) / 2 / 1.5 ** 2)
    assert out.dtype == expected.dtype and out.shape == (len(pts),)
    np.testing.assert_allclose(out, expected, rtol=1e-6 if out.dtype == np.float32 else 1e-12)


def test_gaussian_sigma_zero_limit():
    out = gaussian(np.array([[2.0, 3.0], [2.0, 4.0]]), (2, 3), 0.0)
    np.testing.assert_array_equal(out, [1.0, 0.0])


@pytest.mark.parametrize("pts, exc", [
    ([[0.0, 1.0]], TypeError),
    (np.zeros((3, 3)), ValueError),
    (np.zeros(2), ValueError),
    (np.zeros((2, 2), complex), TypeError),
    (np.zeros((2, 2), np.int32), TypeError),  # NumPy refuses the float mean in place
])
def test_gaussian_bad_points(pts, exc):
    with pytest.raises(exc):
        gaussian(pts, (0.5, 0), 1.0)


def test_small_example_and_binding():
    m = generate_gaussian_map(region=[0, 0, 2, 0, 2, 2, 0, 2], img_size=(3, 4))
    assert m.shape == (3, 4) and m.argmax() == 1 * 4 + 1 and m[1, 1] == 1.0
    assert m[1, 3] == pytest.approx(0.1, rel=1e-12)
    assert cal_sigma(2, 0.01) == pytest.approx(0.93198, abs=1e-5)
    assert cal_sigma(edge_value=0.01, dmax=2) == cal_sigma(2, 0.01)
    with pytest.raises(TypeError):
        generate_gaussian_map((3, 4))
