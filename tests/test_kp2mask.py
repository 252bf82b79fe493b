import numpy as np
import pytest

from kiro.utils.kp2mask import kp2mask

# Axis-aligned rectangles (x0, y0, x1, y1), inclusive; fillPoly paints the border too.
RECTS = [(2, 2, 10, 8), (12, 3, 20, 15), (25, 0, 29, 19)]
KP = np.array([[x0, y0, x1, y0, x1, y1, x0, y1] for x0, y0, x1, y1 in RECTS], np.int32)


def rect_mask(chosen, values=None, shape=(20, 30)):
    out = np.zeros(shape, np.int64)
    for k, i in enumerate(chosen):
        x0, y0, x1, y1 = RECTS[i]
        out[y0:y1 + 1, x0:x1 + 1] = 1 if values is None else values[k]
    return out


def record(kp=KP, shape=(20, 30, 3)):
    return {"image": np.zeros(shape, np.uint8), "keypoints": kp}


@pytest.mark.parametrize("args, kwargs, chosen", [
    ((), {}, [0, 1, 2]),
    ((None,), {"one_class_only": True}, [0, 1, 2]),
    (([0, 2],), {"one_class_only": True}, [0, 2]),
    (((1,),), {}, [1]),
    (([],), {}, []),
    ((1,), {"one_class_only": True}, [1]),
    ((np.int64(2),), {}, [2]),
    ((-1,), {}, [2]),
    ((np.array([1, 0]),), {}, [0, 1]),
])
def test_call_forms(args, kwargs, chosen):
    m = kp2mask(record(), *args, **kwargs)
    assert m.dtype == np.uint8 and m.shape == (20, 30)
    np.testing.assert_array_equal(m, rect_mask(chosen))


def strided_reversed():
    wide = np.zeros((3, 16), np.int32)
    wide[:, ::2] = KP
    return wide[::-1, ::2]


@pytest.mark.parametrize("kp, chosen", [
    (KP.astype(np.float32), [0, 1, 2]), (KP.astype(np.uint16), [0, 1, 2]),
    (KP + 0.4, [0, 1, 2]), (KP - 0.4, [0, 1, 2]), (strided_reversed(), [2, 1, 0]),
])
def test_coordinate_types_rounding_and_views(kp, chosen):
    before = kp.copy()
    np.testing.assert_array_equal(kp2mask(record(kp), [0, 1, 2]), rect_mask(chosen))
    np.testing.assert_array_equal(kp, before)


def test_half_pixel_rounds_up_and_image_size_clips():
    m = kp2mask(record(KP[:1] + np.array([0.6, 0] * 4), shape=(7, 9)))
    assert m.shape == (7, 9)
    np.testing.assert_array_equal(np.nonzero(m.any(0))[0], np.arange(3, 9))


def test_triangle_interior():
    m = kp2mask(record(np.array([[0, 0, 19, 0, 0, 19]], np.int32)))
    r, c = np.indices(m.shape)
    assert m[(r + c) <= 18].all() and not m[(r + c) >= 20].any()


@pytest.mark.parametrize("classes, painted", [(None, [1, 2, 3]), ([2, 0], [3, 1]), (1, [2])])
def test_one_class_only_false_paints_row_plus_one(classes, painted):
    m = kp2mask(record(), classes, one_class_only=False)
    np.testing.assert_array_equal(m, rect_mask([v - 1 for v in painted], painted))


def test_one_class_only_false_overlap_and_wide_labels():
    kp = np.array([[0, 0, 9, 0, 9, 9, 0, 9], [5, 5, 14, 5, 14, 14, 5, 14]], np.int32)
    assert kp2mask(record(kp), [0, 1], one_class_only=False)[7, 7] == 2
    assert kp2mask(record(kp), [1, 0], one_class_only=False)[7, 7] == 1
    m = kp2mask(record(np.tile(kp[:1], (300, 1)), (12, 12)), [299], one_class_only=False)
    assert m.dtype == np.uint16 and m[2, 2] == 300


def test_no_polygons():
    m = kp2mask(record(np.zeros((0, 8), np.int32), (4, 5)))
    assert m.shape == (4, 5) and not m.any()


@pytest.mark.parametrize("data, classes, exc", [
    (record(np.zeros((2, 7), np.int32)), None, ValueError),   # odd columns
    (record(np.zeros(8, np.int32)), None, ValueError),
    (record(np.zeros((1, 2, 8), np.int32)), None, ValueError),
    (record(np.zeros((2, 0), np.int32)), None, ValueError),
    (record(np.array([["a", "b"]])), None, TypeError),
    (record(np.zeros((1, 8), bool)), None, TypeError),
    (record(np.array([[0, 0, np.nan, 1]])), None, ValueError),
    (record(np.array([[0, 0, 1e12, 1]])), None, ValueError),
    (record(), 3, IndexError), (record(), -4, IndexError), (record(), [0, 5], IndexError),
    (record(), 1.0, TypeError), (record(), [0, "1"], TypeError), (record(), "0", TypeError),
    ({"image": np.zeros((4, 4), np.uint8)}, None, KeyError),
    ({"keypoints": KP}, None, KeyError),
    ({"image": [[0]], "keypoints": KP}, None, TypeError),
    ({"image": np.zeros(4, np.uint8), "keypoints": KP}, None, ValueError),
])
def test_bad_input(data, classes, exc):
    with pytest.raises(exc):
        kp2mask(data, classes)
