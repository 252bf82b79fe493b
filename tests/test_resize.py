"""kiro's own resize kernels against the installed OpenCV's cv::resize
(INTER_CUBIC for 8-bit images, INTER_NEAREST for masks): byte for byte, on
every kernel build the processor runs, directly and through the zooms."""

import numpy as np
import pytest

from kiro.core.ostrim import ostrim
from kiro.core.pandrik import pandrik
from kiro.utils import _kernels
from kiro.utils.faltor import faltor
from kiro.utils.kp2mask import kp2mask
from kiro.utils._threads import get_num_threads, set_num_threads
from conftest import python_turns_during

ref = pytest.importorskip("ref_geometry_resize", reason="test-only OpenCV modules not built (make testref)")

BUILDS = _kernels.builds()
# The builds themselves and the header's entry (row stripes on OpenCV threads).
PATHS = BUILDS + ["wrapper"]

# (source h, w) -> (destination h, w): single pixels and rows, odd and prime
# sides, one side kept, strong up- and downscales, the zooms' usual case.
SIZES = [
    ((1, 1), (1, 2)), ((1, 1), (7, 5)), ((1, 9), (4, 9)), ((9, 1), (9, 4)), ((2, 3), (1, 1)),
    ((5, 7), (3, 2)), ((3, 4), (6, 8)), ((13, 17), (97, 89)), ((97, 89), (13, 17)), ((31, 37), (37, 31)),
    ((64, 64), (64, 127)), ((61, 67), (1, 1)), ((3, 2), (701, 997)), ((600, 800), (23, 29)),
    ((509, 251), (11, 1021)), ((16, 16), (17, 15)), ((29, 8), (29, 8)), ((331, 431), (1080, 1920)),
]


def rand_image(rng, h, w, cn, dtype=np.uint8):
    shape = (h, w) if cn == 0 else (h, w, cn)
    if dtype == np.bool_:
        return rng.randint(0, 2, shape).astype(bool)
    info = np.iinfo(dtype) if np.dtype(dtype).kind in "iu" else None
    lo, hi = (max(info.min, -1000), min(info.max, 1000) + 1) if info else (-1e6, 1e6)
    return (rng.randint(0, 256, shape) if dtype == np.uint8 else rng.uniform(lo, hi, shape)).astype(dtype)


def random_sizes(n, seed, biggest=140):
    rng = np.random.RandomState(seed)
    return [(tuple(rng.randint(1, biggest, 2)), tuple(rng.randint(1, 2 * biggest, 2))) for _ in range(n)]


def test_builds_and_dispatch():
    assert BUILDS[-1] == "baseline" and len(set(BUILDS)) == len(BUILDS)
    assert _kernels.simd_width("baseline") == 16
    with open("/proc/cpuinfo") as f:
        avx2 = any(" avx2" in line and " fma" in line for line in f if line.startswith("flags"))
    if avx2:
        # The processor has AVX2: that build is picked and really is 256-bit.
        assert BUILDS[0] == "avx2"
        assert _kernels.simd_width("avx2") == 32


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("cn", [0, 1, 2, 3, 4])
@pytest.mark.parametrize("src, dst", SIZES)
def test_cubic_matches_opencv(path, cn, src, dst):
    img = rand_image(np.random.RandomState(src[0] * 7 + dst[1]), src[0], src[1], cn)
    out = _kernels.resize(img, dst[1], dst[0], False, path)
    np.testing.assert_array_equal(out, ref.resize(img, dst[1], dst[0]))


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("cn", [0, 3, 4])
def test_cubic_matches_opencv_random_sizes(path, cn):
    rng = np.random.RandomState(cn)
    for src, dst in random_sizes(60, seed=10 + cn):
        img = rand_image(rng, src[0], src[1], cn)
        out = _kernels.resize(img, dst[1], dst[0], False, path)
        np.testing.assert_array_equal(out, ref.resize(img, dst[1], dst[0]), err_msg="%s -> %s" % (src, dst))


@pytest.mark.parametrize("path", PATHS)
def test_cubic_extremes_saturate_like_opencv(path):
    # Hard black/white edges overshoot with the cubic kernel: clipping and
    # rounding at 0 and 255 must match.
    img = np.zeros((40, 41, 3), np.uint8)
    img[:, ::2] = 255
    img[::3] = 255 - img[::3]
    for h, w in [(97, 83), (13, 9), (40, 200)]:
        np.testing.assert_array_equal(_kernels.resize(img, w, h, False, path), ref.resize(img, w, h))


@pytest.mark.parametrize("path", PATHS)
def test_cubic_of_a_view(path):
    # Crops are strided views of the whole image.
    big = rand_image(np.random.RandomState(3), 90, 120, 3)
    view = big[7:70, 11:100]
    np.testing.assert_array_equal(_kernels.resize(view, 150, 111, False, path), ref.resize(view, 150, 111))


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("dtype", [np.uint8, np.int8, np.bool_, np.uint16, np.int16, np.int32, np.float32,
                                   np.int64, np.float64])
def test_nearest_matches_opencv(path, dtype):
    rng = np.random.RandomState(5)
    for src, dst in SIZES[:-1] + random_sizes(25, seed=20):
        mask = rand_image(rng, src[0], src[1], 0, dtype)
        out = _kernels.resize(mask, dst[1], dst[0], True, path)
        assert out.dtype == mask.dtype
        np.testing.assert_array_equal(out, ref.resize(mask, dst[1], dst[0], True), err_msg="%s -> %s" % (src, dst))


@pytest.mark.parametrize("nearest", [False, True])
def test_threads_give_the_same_bytes(nearest):
    img = rand_image(np.random.RandomState(9), 211, 307, 0 if nearest else 3)
    before = get_num_threads()
    try:
        set_num_threads(0)
        one = _kernels.resize(img, 1013, 777, nearest, "wrapper")
        set_num_threads(4)
        four = _kernels.resize(img, 1013, 777, nearest, "wrapper")
    finally:
        set_num_threads(before)
    np.testing.assert_array_equal(one, four)
    np.testing.assert_array_equal(one, ref.resize(img, 1013, 777, nearest))


def test_resize_runs_without_the_gil():
    img = rand_image(np.random.RandomState(2), 300, 400, 3)
    # Enough calls for a busy machine to schedule the other thread.
    assert python_turns_during(lambda: [_kernels.resize(img, 1920, 1080, False) for _ in range(20)]) > 1000


# ---- the zooms ----------------------------------------------------------------

def zoom_sample(rng, h, w, cn, mask_dtype=np.uint8):
    img = rand_image(rng, h, w, cn)
    mask = np.zeros((h, w), mask_dtype)
    y0, x0 = rng.randint(0, h // 2), rng.randint(0, w // 2)
    mask[y0:y0 + rng.randint(1, h // 2), x0:x0 + rng.randint(1, w // 2)] = 2
    mask[rng.randint(0, h, 30), rng.randint(0, w, 30)] = 1
    return {"image": img, "mask": mask}


def crop_of(image, sel, margin):
    """The zooms' crop rectangle, as faltor finds it."""
    top, left, h, w = faltor(image, sel.astype(np.uint8), margin)[1]
    return slice(top, top + h), slice(left, left + w)


@pytest.mark.parametrize("zoom, class_num", [(pandrik, [2]), (ostrim, 2)])
@pytest.mark.parametrize("cn", [0, 1, 3, 4])
@pytest.mark.parametrize("mask_dtype", [np.uint8, np.int32, np.float64])
def test_zooms_match_opencv(zoom, class_num, cn, mask_dtype):
    rng = np.random.RandomState(cn * 31 + np.dtype(mask_dtype).itemsize)
    for h, w in [(60, 80), (97, 53), (211, 307)]:
        data = zoom_sample(rng, h, w, cn, mask_dtype)
        image, mask = data["image"].copy(), data["mask"].copy()
        rows, cols = crop_of(image, mask == 2, 3)
        zoom(data, class_num=class_num, padding=3, constant_size=True)
        np.testing.assert_array_equal(data["image"], ref.resize(image[rows, cols], w, h))
        np.testing.assert_array_equal(data["mask"], ref.resize(mask[rows, cols], w, h, True))


@pytest.mark.parametrize("zoom", [pandrik, ostrim])
def test_zoom_of_other_image_types_keeps_opencv(zoom):
    # 16-bit and 5-channel images are not the kernels' and keep cv::resize.
    rng = np.random.RandomState(4)
    for img in [rand_image(rng, 50, 70, 3, np.uint16), rand_image(rng, 50, 70, 5), rand_image(rng, 50, 70, 2)]:
        data = zoom_sample(rng, 50, 70, 1)
        data["image"] = img
        mask = data["mask"].copy()
        rows, cols = crop_of(img, mask == 2, 0)
        zoom(data, class_num=[2] if zoom is pandrik else 2, constant_size=True)
        np.testing.assert_array_equal(data["image"], ref.resize(img[rows, cols], 70, 50))


@pytest.mark.parametrize("zoom", [pandrik, ostrim])
def test_zoom_keypoints_only_matches_opencv(zoom):
    rng = np.random.RandomState(8)
    img = rand_image(rng, 90, 130, 3)
    kp = np.array([[10, 20, 60, 20, 60, 70, 10, 70], [70, 5, 120, 5, 120, 40, 70, 40]], np.float64)
    data = {"image": img.copy(), "keypoints": kp}
    rows, cols = crop_of(img, kp2mask(data, [1], one_class_only=True) != 0, 0)
    zoom(data, class_num=[1] if zoom is pandrik else 1, constant_size=True)
    np.testing.assert_array_equal(data["image"], ref.resize(img[rows, cols], 130, 90))


@pytest.mark.parametrize("zoom, class_num", [(pandrik, [7]), (ostrim, None), (pandrik, None)])
def test_lone_pixel_in_long_runs_is_found(zoom, class_num):
    # Blocks equal to the previous block are skipped when the mask's classes
    # and the selection are found: a single pixel anywhere must still count.
    for offset in list(range(0, 70)) + [130, 199]:
        mask = np.zeros((3, 200), np.uint8)
        mask[:, 100:] = 3 if class_num is not None else 0
        mask[1, offset] = 7
        data = {"image": np.zeros((3, 200, 3), np.uint8), "mask": mask}
        zoom(data, class_num=class_num, padding=1)
        assert data["mask"].shape != (3, 200) and (data["mask"] == 7).sum() == 1, offset
