"""kiro's affine warp kernels against the installed OpenCV's cv::warpAffine
(bilinear for 8-bit images, nearest for raw elements), byte for byte on every
kernel build, and quendor against the OpenCV calls it replaces."""

import random

import numpy as np
import pytest

from kiro.core.quendor import quendor
from kiro.utils import _kernels
from kiro.utils._threads import get_num_threads, set_num_threads
from conftest import python_turns_during

ref = pytest.importorskip("ref_geometry_warp", reason="test-only OpenCV modules not built (make testref)")

PATHS = _kernels.builds() + ["wrapper"]
INTER_NEAREST, WARP_INVERSE_MAP = 0, 16

# Single pixels and rows, odd and prime sides, up to a few hundred pixels.
SIZES = [(1, 1), (1, 9), (9, 1), (2, 2), (3, 5), (13, 17), (31, 37), (64, 127), (97, 89), (240, 320)]


def matrices(h, w, rng):
    """Rotations about the centre (the rotation's own case), with scale, shear,
    fractional and off-image translations, flips, and a random map."""
    out = [ref.rotation_matrix(w, h, a) for a in (0, 1, -7, 10, 33, -45, 90, 180)]
    c = ref.rotation_matrix(w, h, 17)
    out.append(c * [[1.3], [1.3]] + [[0, 0, -w * 0.15], [0, 0, -h * 0.15]])
    out.append(np.array([[0.6, 0.0, 0.0], [0.0, 0.45, 0.0]]))
    out.append(np.array([[1, 0.3, -2.5], [-0.2, 1, 1.75]]))
    out.append(np.array([[1, 0, 0.40625], [0, 1, -3.71875]]))
    out.append(np.array([[1, 0, w + 5.0], [0, 1, 0]]))
    out.append(np.array([[-1, 0, w - 1.0], [0, 1, 0]]))
    out.append(np.array([[0.0, 0.0, 3.0], [0.0, 0.0, 1.0]]))  # singular: OpenCV maps everything to one point
    out.append(np.column_stack([rng.uniform(-1.5, 1.5, (2, 2)), rng.uniform(-w, w, 2)]))
    return out


def rand(rng, shape, dtype=np.uint8):
    if dtype == np.uint8:
        return rng.randint(0, 256, shape).astype(np.uint8)
    if dtype == np.bool_:
        return rng.randint(0, 2, shape).astype(bool)
    if np.dtype(dtype).kind == "f":
        return rng.uniform(-1e6, 1e6, shape).astype(dtype)
    info = np.iinfo(dtype)
    return rng.randint(max(info.min, -2**31), min(info.max, 2**31 - 1), shape, dtype=np.int64).astype(dtype)


def cv_nearest(mask, M, w, h, border, flags=INTER_NEAREST):
    """cv::warpAffine of raw elements (unsigned 8 or 16 bits, int32, int32
    pairs for 8 bytes), `border` an element of the mask's dtype."""
    raw = {1: np.uint8, 2: np.uint16, 4: np.int32, 8: np.int32}[mask.itemsize]
    bits = np.array([border], mask.dtype).view(raw)
    src = mask.view(raw)
    if mask.itemsize == 8:
        src = src.reshape(mask.shape + (2,))
    out = ref.warp_affine(src, M, w, h, flags, tuple(int(b) for b in bits))
    return out.reshape(-1).view(mask.dtype).reshape(h, w)


def test_kernels_agree_with_opencv_here():
    # Otherwise the wrappers fall back to OpenCV and the speed is lost silently.
    assert _kernels.kernels_agree()["warp"]


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("cn", [1, 3, 4])
@pytest.mark.parametrize("h, w", SIZES)
def test_bilinear_matches_opencv(path, cn, h, w):
    rng = np.random.RandomState(h * 1000 + w + cn)
    img = rand(rng, (h, w, cn))
    for M in matrices(h, w, rng):
        for border in [(0, 0, 0, 0), (255, 7, 128, 3)]:
            for dh, dw in [(h, w), (h + 3, max(1, w // 2))]:
                want = ref.warp_affine(img, M, dw, dh, 1, border)
                got = _kernels.warp_affine(img, M, dw, dh, border=border, isa=path)
                np.testing.assert_array_equal(got, want, err_msg="M=%s border=%s" % (M.tolist(), border))


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("cn", [1, 3, 4])
def test_bilinear_inverse_map_and_extreme_values(path, cn):
    rng = np.random.RandomState(5)
    h, w = 45, 61
    # Only 0 and 255: every sum of weights is at its extremes.
    img = (rng.randint(0, 2, (h, w, cn)) * 255).astype(np.uint8)
    for M in matrices(h, w, rng):
        want = ref.warp_affine(img, M, w, h, 1 | WARP_INVERSE_MAP, (9, 9, 9, 9))
        got = _kernels.warp_affine(img, M, w, h, border=(9, 9, 9, 9), inverse=True, isa=path)
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("path", PATHS)
def test_bilinear_of_a_strided_view(path):
    rng = np.random.RandomState(3)
    base = rand(rng, (80, 120, 3))
    view = base[5:70:2, 110:3:-3]
    M = ref.rotation_matrix(view.shape[1], view.shape[0], 23)
    want = ref.warp_affine(np.ascontiguousarray(view), M, view.shape[1], view.shape[0])
    np.testing.assert_array_equal(_kernels.warp_affine(view, M, view.shape[1], view.shape[0], isa=path), want)


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("dtype", [np.uint8, np.bool_, np.int8, np.uint16, np.int16, np.int32, np.uint32,
                                   np.float32, np.int64, np.float64])
def test_nearest_matches_opencv(path, dtype):
    rng = np.random.RandomState(np.dtype(dtype).num)
    for h, w in SIZES:
        mask = rand(rng, (h, w), dtype)
        border = mask.flat[0]
        for M in matrices(h, w, rng):
            for flags in (INTER_NEAREST, INTER_NEAREST | WARP_INVERSE_MAP):
                want = cv_nearest(mask, M, w, h, border, flags)
                got = _kernels.warp_affine(mask, M, w, h, nearest=True, border=border,
                                           inverse=bool(flags & WARP_INVERSE_MAP), isa=path)
                assert got.dtype == mask.dtype
                np.testing.assert_array_equal(got.view(np.uint8), want.view(np.uint8))


@pytest.mark.parametrize("nearest", [False, True])
def test_threads_give_the_same_bytes(nearest):
    rng = np.random.RandomState(11)
    img = rand(rng, (301, 403) if nearest else (301, 403, 3))
    M = ref.rotation_matrix(403, 301, -12)
    before = get_num_threads()
    try:
        set_num_threads(1)
        one = _kernels.warp_affine(img, M, 403, 301, nearest=nearest, border=0 if nearest else (0,), isa="wrapper")
        set_num_threads(4)
        four = _kernels.warp_affine(img, M, 403, 301, nearest=nearest, border=0 if nearest else (0,), isa="wrapper")
    finally:
        set_num_threads(before)
    np.testing.assert_array_equal(one, four)


# --- quendor, end to end: the same record as with the OpenCV calls ---------

def opencv_rotation(rec, angle, bg_mask):
    img = rec["image"]
    h, w = img.shape[:2]
    M = ref.rotation_matrix(w, h, angle)
    out = {"image": ref.warp_affine(img, M, w, h)}
    if "mask" in rec:
        out["mask"] = cv_nearest(rec["mask"], M, w, h, np.array(bg_mask, rec["mask"].dtype)[()])
    return out


@pytest.mark.parametrize("seed", range(12))
def test_quendor_matches_the_opencv_calls(seed):
    rng = np.random.RandomState(seed)
    h, w = rng.randint(1, 300, 2)
    cn = [1, 3, 4][seed % 3]
    mask_dtype = [np.uint8, np.uint16, np.int32, np.int64, np.float32, np.uint8][seed % 6]
    rec = {"image": rand(rng, (h, w, cn)), "mask": rand(rng, (h, w), mask_dtype) % 7}
    bg = int(seed % 3)
    angle = int(rng.randint(-45, 46))
    want = opencv_rotation(rec, angle, bg)
    out = quendor(rec, angle, prob=1, bg_mask=bg)
    np.testing.assert_array_equal(out["image"], want["image"])
    np.testing.assert_array_equal(out["mask"], want["mask"])


@pytest.mark.parametrize("dtype", [np.uint16, np.int16, np.float32, np.float64])
def test_quendor_other_image_types_keep_opencv(dtype):
    rng = np.random.RandomState(2)
    rec = {"image": rand(rng, (40, 57, 3), dtype), "mask": rand(rng, (40, 57)) % 3}
    want = opencv_rotation(rec, -20, 0)
    out = quendor(rec, -20, prob=1)
    np.testing.assert_array_equal(out["image"], want["image"])
    np.testing.assert_array_equal(out["mask"], want["mask"])


def test_quendor_drawn_angle_matches_the_opencv_calls():
    rng = np.random.RandomState(4)
    rec = {"image": rand(rng, (1080, 1920, 3)), "mask": rand(rng, (1080, 1920)) % 5}
    random.seed(99)
    random.random()
    angle = random.randint(-30, 30)
    want = opencv_rotation(rec, angle, 0)
    random.seed(99)
    out = quendor(rec, (-30, 30), prob=1)
    np.testing.assert_array_equal(out["image"], want["image"])
    np.testing.assert_array_equal(out["mask"], want["mask"])


def test_quendor_runs_without_the_gil():
    rng = np.random.RandomState(0)
    rec = {"image": rand(rng, (1080, 1920, 3)), "mask": rand(rng, (1080, 1920)) % 5}
    assert python_turns_during(lambda: [quendor(dict(rec), 10, prob=1) for _ in range(5)]) > 100
