import numpy as np
import pytest

from kiro.utils.kp2mask import kp2mask

# Axis-aligned rectangles (x0, y0, x1, y1), inclusive; fillPoly paints the border too.
RECTS = [(2, 2, 10, 8), (12, 3, 20, 15), (25, 0, 29, 19)]


def rect_row(x0, y0, x1, y1):
    return [x0, y0, x1, y0, x1, y1, x0, y1]


def rect_mask(shape, rects, values=None):
    out = np.zeros(shape, np.int64)
    for k, (x0, y0, x1, y1) in enumerate(rects):
        out[y0:y1 + 1, x0:x1 + 1] = 1 if values is None else values[k]
    return out


@pytest.fixture
def data():
    kp = np.array([rect_row(*r) for r in RECTS], np.int32)
    return {"image": np.zeros((20, 30, 3), np.uint8), "keypoints": kp}


@pytest.mark.parametrize("args, kwargs, chosen", [
    ((), {}, [0, 1, 2]),
    ((), {"one_class_only": True}, [0, 1, 2]),
    ((None,), {}, [0, 1, 2]),
    (([0, 2],), {"one_class_only": True}, [0, 2]),
    (((1,),), {}, [1]),
    (([],), {}, []),
    ((1,), {"one_class_only": True}, [1]),
    ((np.int64(2),), {}, [2]),
    ((-1,), {}, [2]),
    ((np.array([1, 0]),), {}, [0, 1]),
])
def test_call_forms(data, args, kwargs, chosen):
    m = kp2mask(data, *args, **kwargs)
    assert m.dtype == np.uint8 and m.shape == (20, 30)
    np.testing.assert_array_equal(m, rect_mask((20, 30), [RECTS[i] for i in chosen]))


@pytest.mark.parametrize("dtype", [np.int32, np.int64, np.uint16, np.float32, np.float64])
def test_coordinate_types(data, dtype):
    data["keypoints"] = data["keypoints"].astype(dtype)
    np.testing.assert_array_equal(kp2mask(data), rect_mask((20, 30), RECTS))


@pytest.mark.parametrize("offset, expected_x0", [(0.4, 2), (0.6, 3), (-0.4, 2)])
def test_real_coordinates_round_to_nearest(data, offset, expected_x0):
    kp = data["keypoints"][:1].astype(np.float64)
    kp[0, 0::2] += offset
    m = kp2mask({"image": data["image"], "keypoints": kp})
    cols = np.nonzero(m.any(axis=0))[0]
    assert cols[0] == expected_x0 and cols[-1] == expected_x0 + 8


@pytest.mark.parametrize("image_shape", [(20, 30), (20, 30, 4), (7, 9, 3)])
def test_size_follows_image_and_clips(data, image_shape):
    data["image"] = np.zeros(image_shape, np.uint8)
    m = kp2mask(data)
    assert m.shape == image_shape[:2]
    np.testing.assert_array_equal(m, rect_mask((20, 30), RECTS)[:image_shape[0], :image_shape[1]])


def test_strided_keypoints_and_inputs_untouched(data):
    wide = np.zeros((3, 16), np.int32)
    wide[:, ::2] = data["keypoints"]
    view = wide[::-1, ::2]  # rows reversed, every second column
    before = wide.copy()
    m = kp2mask({"image": data["image"], "keypoints": view}, [0])
    np.testing.assert_array_equal(m, rect_mask((20, 30), [RECTS[2]]))
    np.testing.assert_array_equal(wide, before)
    assert not data["image"].any()


def test_triangle_interior(data):
    data["keypoints"] = np.array([[0, 0, 19, 0, 0, 19]], np.int32)
    m = kp2mask(data)
    r, c = np.indices(m.shape)
    assert m[(r + c) <= 18].all()
    assert not m[(r + c) >= 20].any()


@pytest.mark.parametrize("classes, values", [
    (None, [1, 2, 3]),
    ([2, 0], [1, 0, 3]),
    (1, [0, 2, 0]),
])
def test_one_class_only_false_paints_row_plus_one(data, classes, values):
    m = kp2mask(data, classes, one_class_only=False)
    chosen = [RECTS[i] for i in range(3) if values[i]]
    np.testing.assert_array_equal(m, rect_mask((20, 30), chosen, [v for v in values if v]))


def test_one_class_only_false_later_entry_wins(data):
    data["keypoints"] = np.array([rect_row(0, 0, 9, 9), rect_row(5, 5, 14, 14)], np.int32)
    assert kp2mask(data, [0, 1], one_class_only=False)[7, 7] == 2
    assert kp2mask(data, [1, 0], one_class_only=False)[7, 7] == 1


def test_one_class_only_false_wide_labels():
    kp = np.tile(np.array(rect_row(1, 1, 3, 3), np.int32), (300, 1))
    m = kp2mask({"image": np.zeros((5, 5), np.uint8), "keypoints": kp}, [299], one_class_only=False)
    assert m.dtype == np.uint16 and m[2, 2] == 300


def test_no_polygons():
    d = {"image": np.zeros((4, 5, 3), np.uint8), "keypoints": np.zeros((0, 8), np.int32)}
    m = kp2mask(d)
    assert m.shape == (4, 5) and not m.any()


@pytest.mark.parametrize("keypoints, exc, words", [
    (np.zeros((2, 7), np.int32), ValueError, "pairs"),
    (np.zeros(8, np.int32), ValueError, "2 axes"),
    (np.zeros((1, 2, 8), np.int32), ValueError, "2 axes"),
    (np.zeros((2, 0), np.int32), ValueError, "no points"),
    (np.array([["a", "b"]]), TypeError, "numbers"),
    (np.zeros((1, 8), bool), TypeError, "numbers"),
    (np.array([[0, 0, np.nan, 1]]), ValueError, "coordinate"),
    (np.array([[0, 0, 1e12, 1]]), ValueError, "coordinate"),
])
def test_bad_keypoints(data, keypoints, exc, words):
    data["keypoints"] = keypoints
    with pytest.raises(exc, match=words):
        kp2mask(data)


@pytest.mark.parametrize("classes, exc", [
    (3, IndexError), (-4, IndexError), ([0, 5], IndexError),
    (1.0, TypeError), ([0, "1"], TypeError), ("0", TypeError),
])
def test_bad_classes(data, classes, exc):
    with pytest.raises(exc):
        kp2mask(data, classes)


@pytest.mark.parametrize("record, exc", [
    ({"image": np.zeros((4, 4), np.uint8)}, KeyError),
    ({"keypoints": np.zeros((1, 8), np.int32)}, KeyError),
    ({"image": [[0]], "keypoints": np.zeros((1, 8), np.int32)}, TypeError),
    ({"image": np.zeros(4, np.uint8), "keypoints": np.zeros((1, 8), np.int32)}, ValueError),
])
def test_bad_record(record, exc):
    with pytest.raises(exc):
        kp2mask(record)
