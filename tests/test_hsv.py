"""kiro's one-pass HSV jitter against the installed OpenCV's
cv::cvtColor(COLOR_BGR2HSV), the two tables and cv::cvtColor(COLOR_HSV2BGR),
and hsv_transform against those calls."""

import random

import numpy as np
import pytest

from kiro.core.rimbel import hsv_transform
from kiro.utils import _kernels
from conftest import python_turns_during

ref = pytest.importorskip("ref_geometry_warp", reason="test-only OpenCV modules not built (make testref)")

PICKED = _kernels.builds()[0]
# Widths around OpenCV's vector blocks (16, 32 and 64 pixels) and its scalar tails.
SIZES = [(1, 1), (1, 15), (2, 16), (3, 31), (3, 32), (2, 33), (5, 63), (4, 64), (3, 65), (64, 250), (37, 1001)]
# Factors that keep, shrink, grow, clip, zero, and negative or NaN ones (from fraction > 1).
FACTORS = [(1.0, 1.0), (0.5, 1.5), (1.37, 0.61), (0.0, 2.0), (-0.3, 1.0), (float("nan"), float("inf"))]


def table(a):
    with np.errstate(invalid="ignore"):
        p = np.arange(256, dtype=np.float32) * np.float32(a)
        return np.where(p > 0, np.minimum(p, 255), 0).astype(np.uint8)


def opencv_jitter(img, a_s, a_v):
    hsv = ref.bgr2hsv(img)
    hsv[..., 1] = table(a_s)[hsv[..., 1]]
    hsv[..., 2] = table(a_v)[hsv[..., 2]]
    return ref.hsv2bgr(hsv)


def test_kernels_agree_with_opencv_here():
    assert _kernels.kernels_agree()["hsv"]


@pytest.mark.parametrize("path", [PICKED, "wrapper"])
@pytest.mark.parametrize("cn", [3, 4])
@pytest.mark.parametrize("h, w", SIZES)
def test_jitter_matches_opencv(path, cn, h, w):
    rng = np.random.RandomState(h * 1000 + w + cn)
    img = rng.randint(0, 256, (h, w, cn)).astype(np.uint8)
    img[0, : w // 2, :3] = img[0, : w // 2, :1]  # grey pixels: saturation 0
    for a_s, a_v in FACTORS:
        np.testing.assert_array_equal(_kernels.hsv_jitter(img, a_s, a_v, path), opencv_jitter(img, a_s, a_v),
                                      err_msg="factors %s" % ((a_s, a_v),))


@pytest.mark.parametrize("a_s, a_v", [(1.0, 1.0), (1.3, 0.7), (0.55, 1.45), (1.999, 0.001)])
def test_every_bgr_value_matches_opencv(a_s, a_v):
    # All 2**24 colours once, in rows of whole vector blocks.
    img = np.arange(1 << 24, dtype=np.uint32).view(np.uint8).reshape(-1, 4096, 4)[..., :3].copy()
    np.testing.assert_array_equal(_kernels.hsv_jitter(img, a_s, a_v, PICKED), opencv_jitter(img, a_s, a_v))


def test_every_bgr_value_in_the_scalar_tail_matches_opencv():
    # Rows shorter than one vector block: OpenCV's scalar code for all of them.
    img = np.arange(1 << 24, dtype=np.uint32).view(np.uint8).reshape(-1, 8, 4)[..., :3].copy()
    np.testing.assert_array_equal(_kernels.hsv_jitter(img, 1.2, 0.9, PICKED), opencv_jitter(img, 1.2, 0.9))


def test_baseline_differs_only_by_fused_rounding():
    # The baseline build models an OpenCV without fused multiply-add: on an
    # AVX2 build of OpenCV it may differ by 1 in rare channels, never more.
    rng = np.random.RandomState(1)
    img = rng.randint(0, 256, (200, 300, 3)).astype(np.uint8)
    diff = np.abs(_kernels.hsv_jitter(img, 1.2, 0.8, "baseline").astype(int) - opencv_jitter(img, 1.2, 0.8))
    assert diff.max() <= 1 and (diff > 0).mean() < 0.01


# --- hsv_transform, end to end -----------------------------------------------

def opencv_transform(img, fraction, seed):
    random.seed(seed)
    a_s = (random.random() * 2 - 1) * fraction + 1
    a_v = (random.random() * 2 - 1) * fraction + 1
    return opencv_jitter(img, a_s, a_v)


@pytest.mark.parametrize("seed", range(12))
def test_hsv_transform_matches_the_opencv_calls(seed):
    rng = np.random.RandomState(seed)
    h, w = (1080, 1920) if seed == 0 else tuple(rng.randint(1, 300, 2))
    img = rng.randint(0, 256, (h, w, 3 + seed % 2)).astype(np.uint8)
    fraction = [0.5, 0.0, 1.0, 0.25][seed % 4]
    random.seed(seed)
    got = hsv_transform(img, fraction)
    np.testing.assert_array_equal(got, opencv_transform(img, fraction, seed))


def test_hsv_transform_of_a_view_matches():
    base = np.random.RandomState(2).randint(0, 256, (90, 140, 3)).astype(np.uint8)
    view = base[3:80:3, 130:2:-2]
    random.seed(7)
    got = hsv_transform(view, 0.5)
    np.testing.assert_array_equal(got, opencv_transform(np.ascontiguousarray(view), 0.5, 7))


def test_hsv_transform_runs_without_the_gil():
    img = np.random.RandomState(0).randint(0, 256, (1080, 1920, 3)).astype(np.uint8)
    assert python_turns_during(lambda: [hsv_transform(img, 0.5) for _ in range(8)]) > 100
