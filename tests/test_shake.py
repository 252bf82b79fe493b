"""kiro's one-pass shake (translation, 0.7 / 0.3 blend, 3 x 3 Gaussian) against
the installed OpenCV's cv::warpAffine + cv::addWeighted + cv::GaussianBlur,
and tremor_image against those calls."""

import random

import numpy as np
import pytest

from kiro.core.tremor import tremor_image
from kiro.utils import _kernels
from kiro.utils._threads import get_num_threads, set_num_threads
from conftest import python_turns_during

ref = pytest.importorskip("ref_geometry_warp", reason="test-only OpenCV modules not built (make testref)")

PICKED = _kernels.builds()[0]

SIZES = [(1, 1), (1, 6), (6, 1), (2, 2), (2, 9), (3, 31), (7, 32), (33, 17), (64, 250), (301, 400)]
SHIFTS = [(0, 0), (5, -5), (-3, 3), (1, 0), (0, -1), (1.5, -2.25), (0.3, 0.7), (-0.5, 0.49), (-10, 7),
          (0.015625, -0.03125), (400, 0), (0, -302), (1e5, 1e5)]


def all_pairs():
    a, b = np.meshgrid(np.arange(256, dtype=np.uint8), np.arange(256, dtype=np.uint8), indexing="ij")
    return a.ravel(), b.ravel()


def test_kernels_agree_with_opencv_here():
    assert _kernels.kernels_agree()["shake"]


def test_blend_of_every_pair_matches_addweighted():
    a, b = all_pairs()
    want = ref.add_weighted(a.reshape(256, 256), 0.7, b.reshape(256, 256), 0.3, 0.0).ravel()
    np.testing.assert_array_equal(_kernels.blend(a, b, PICKED), want)


def test_baseline_blend_rounds_each_product():
    # The baseline build models an OpenCV without fused multiply-add.
    a, b = all_pairs()
    t = a.astype(np.float32) * np.float32(0.7) + b.astype(np.float32) * np.float32(0.3)
    np.testing.assert_array_equal(_kernels.blend(a, b, "baseline"), np.rint(t).astype(np.uint8))


def test_gaussian_is_the_82_92_82_fixed_point_kernel():
    # A unit impulse shows the taps cv::GaussianBlur uses for 8-bit images.
    img = np.zeros((5, 5, 1), np.uint8)
    img[2, 2] = 255
    got = ref.gaussian_blur(img, 3, 2)[..., 0]
    k = np.array([82, 92, 82])
    np.testing.assert_array_equal(got[1:4, 1:4], (np.outer(k, k) * 255 + 32768) >> 16)


@pytest.mark.parametrize("path", [PICKED, "wrapper"])
@pytest.mark.parametrize("cn", [1, 2, 3, 4])
@pytest.mark.parametrize("h, w", SIZES)
def test_shake_matches_opencv(path, cn, h, w):
    rng = np.random.RandomState(h * 100 + w + cn)
    img = rng.randint(0, 256, (h, w, cn)).astype(np.uint8)
    for x, y in SHIFTS:
        np.testing.assert_array_equal(_kernels.shake(img, x, y, path), ref.shake(img, x, y),
                                      err_msg="shift %s" % ((x, y),))


def test_baseline_shake_is_warp_blend_blur():
    rng = np.random.RandomState(8)
    img = rng.randint(0, 256, (45, 70, 3)).astype(np.uint8)
    for x, y in SHIFTS:
        M = np.array([[1, 0, np.float32(x)], [0, 1, np.float32(y)]], np.float64)
        shifted = ref.warp_affine(img, M, 70, 45)
        t = img.astype(np.float32) * np.float32(0.7) + shifted.astype(np.float32) * np.float32(0.3)
        want = ref.gaussian_blur(np.rint(t).astype(np.uint8), 3, 2)
        np.testing.assert_array_equal(_kernels.shake(img, x, y, "baseline"), want)


def test_threads_give_the_same_bytes():
    rng = np.random.RandomState(1)
    img = rng.randint(0, 256, (301, 250, 3)).astype(np.uint8)
    before = get_num_threads()
    try:
        set_num_threads(1)
        one = _kernels.shake(img, 2.5, -1.25, "wrapper")
        set_num_threads(4)
        four = _kernels.shake(img, 2.5, -1.25, "wrapper")
    finally:
        set_num_threads(before)
    np.testing.assert_array_equal(one, four)


# --- tremor_image, end to end -----------------------------------------------

@pytest.mark.parametrize("seed", range(10))
def test_tremor_matches_the_opencv_calls(seed):
    rng = np.random.RandomState(seed)
    h = [5, 300, 301, 999, 1000, 40, 77, 12, 640, 1080][seed]
    w = int(rng.randint(1, 400)) if seed != 9 else 1920
    img = rng.randint(0, 256, (h, w, [3, 4, 1][seed % 3])).astype(np.uint8)
    x, y = (int(v) for v in rng.randint(-10, 11, 2)) if seed % 2 else rng.uniform(-6, 6, 2)
    np.testing.assert_array_equal(tremor_image(img, x, y), ref.shake(img, x, y))


def test_tremor_drawn_shift_is_one_of_the_opencv_results():
    img = np.random.RandomState(3).randint(0, 256, (120, 90, 3)).astype(np.uint8)
    random.seed(5)
    got = tremor_image(img)
    assert any(np.array_equal(got, ref.shake(img, x, y)) for x in range(-3, 4) for y in range(-3, 4))


@pytest.mark.parametrize("x, y", [(1.5, -0.75), (0, 0), (-2, 3)])
def test_tremor_given_shift_matches_the_opencv_calls(x, y):
    img = np.random.RandomState(3).randint(0, 256, (120, 90, 3)).astype(np.uint8)
    np.testing.assert_array_equal(tremor_image(img, x, y), ref.shake(img, x, y))


@pytest.mark.parametrize("dtype", [np.uint16, np.int16, np.float32])
def test_tremor_other_types_keep_opencv(dtype):
    img = (np.random.RandomState(2).rand(50, 60, 3) * 1000).astype(dtype)
    np.testing.assert_array_equal(tremor_image(img, 2.5, -1), ref.shake(img, 2.5, -1))


def test_tremor_runs_without_the_gil():
    img = np.random.RandomState(0).randint(0, 256, (1080, 1920, 3)).astype(np.uint8)
    assert python_turns_during(lambda: [tremor_image(img, 5, -5) for _ in range(8)]) > 100
