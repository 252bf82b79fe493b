import random

import numpy as np
import pytest

from kiro.core.pandrik import pandrik

H, W = 60, 80
PAD_MSG = "Wrong padding length: it should be a number or a tuple/list that not contains bg_mask."
CLASS_MSG = "Wrong class_num type: it should be a number or a tuple/list that not contains bg_mask."
# Rectangles (x0, y0, x1, y1), inclusive: mask classes 1..3; polygons 0..2, polygon 2 on background.
CLASS_RECTS = {1: (30, 10, 49, 19), 2: (5, 35, 19, 49), 3: (60, 40, 74, 54)}
POLY_RECTS = [(30, 10, 49, 19), (5, 35, 19, 49), (55, 2, 70, 8)]


def rect_row(x0, y0, x1, y1):
    return [x0, y0, x1, y0, x1, y1, x0, y1]


def coded_image():
    """Each pixel holds its own row and column, so crops can be traced back."""
    yy, xx = np.mgrid[0:H, 0:W]
    return np.dstack([yy, xx, (yy * 7 + xx * 3) % 256]).astype(np.uint8)


def make_sample(labels="both", kp_dtype=np.int32):
    data = {"image": coded_image()}
    if labels in ("both", "mask"):
        data["mask"] = np.zeros((H, W), np.uint8)
        for c, (x0, y0, x1, y1) in CLASS_RECTS.items():
            data["mask"][y0:y1 + 1, x0:x1 + 1] = c
    if labels in ("both", "keypoints"):
        data["keypoints"] = np.array([rect_row(*r) for r in POLY_RECTS], kp_dtype)
    return data


def copies(data):
    return {k: v.copy() for k, v in data.items()}


def selection(data, classes=(), polygons=()):
    """Union of the chosen classes' pixels and the chosen (rectangular) polygons."""
    sel = np.isin(data["mask"], list(classes)) if "mask" in data else np.zeros((H, W), bool)
    for i in polygons if "keypoints" in data else ():
        row = np.rint(data["keypoints"][i]).astype(int)
        x0, x1, y0, y1 = row[0::2].min(), row[0::2].max(), row[1::2].min(), row[1::2].max()
        sel[max(y0, 0):max(y1 + 1, 0), max(x0, 0):max(x1 + 1, 0)] = True
    return sel


def expected_rect(sel, margin):
    rows, cols = np.nonzero(sel.any(1))[0], np.nonzero(sel.any(0))[0]
    up, left = max(rows[0] - margin, 0), max(cols[0] - margin, 0)
    down, right = min(rows[-1] + 1 + margin, sel.shape[0]), min(cols[-1] + 1 + margin, sel.shape[1])
    return int(up), int(left), int(down - up), int(right - left)


def check_zoom(before, out, rect, rows, scale=False):
    """`out` is `before` cut to `rect` (and scaled back), its labels on the same pixels."""
    top, left, ch, cw = rect
    crop = {k: before[k][top:top + ch, left:left + cw] for k in ("image", "mask") if k in before}
    if scale:
        assert out["image"].shape == before["image"].shape
        if "mask" in before:
            assert out["mask"].shape == (H, W) and out["mask"].dtype == before["mask"].dtype
            assert set(np.unique(out["mask"]).tolist()) <= set(np.unique(crop["mask"]).tolist())
    else:
        np.testing.assert_array_equal(out["image"], crop["image"])
        img = out["image"].astype(int)  # traced back through the coded image
        if "mask" in before:
            np.testing.assert_array_equal(out["mask"], before["mask"][img[..., 0], img[..., 1]])
    if "keypoints" in before:
        kp = before["keypoints"][rows].copy()
        kp[:, 0::2] -= left
        kp[:, 1::2] -= top
        if scale:  # in the array's real type, float64 for integer arrays
            kp = kp.astype(kp.dtype if kp.dtype.kind == "f" else np.float64)
            kp[:, 0::2] = kp[:, 0::2] / cw * W
            kp[:, 1::2] = kp[:, 1::2] / ch * H
        np.testing.assert_array_equal(out["keypoints"], kp.astype(before["keypoints"].dtype))
        for (x, y), (x0, y0) in zip(out["keypoints"].reshape(-1, 2), before["keypoints"][rows].reshape(-1, 2)):
            if not scale and 0 <= y < ch and 0 <= x < cw:
                assert tuple(out["image"][int(y), int(x), :2]) == (y0, x0)


def count_and_sample(r, n):
    """class_num None: a count in [1, n], then that many of n candidates."""
    return r.sample(range(n), r.randint(1, n)) if n else []


@pytest.mark.parametrize("padding, margin", [
    (7.9, lambda r: 7), ((3, 3), lambda r: r.randint(3, 3)), ([2, 6], lambda r: r.randint(2, 6)),
    ((0, 4.9, 9), lambda r: r.randint(0, 4)), (None, lambda r: 0), ("5", lambda r: 0), (True, lambda r: 1),
    (np.int64(2), lambda r: 2), (np.float32(3.0), lambda r: 0), (np.float64(2.5), lambda r: 2),
    (np.bool_(True), lambda r: 0),
])
def test_margin(padding, margin):
    for seed in range(4):
        data = make_sample("mask")
        before = copies(data)
        random.seed(seed)
        pandrik(data, class_num=[2], padding=padding)
        r = random.Random(seed)
        r.random()
        m = margin(r)
        assert random.getstate() == r.getstate()
        check_zoom(before, data, expected_rect(selection(before, [2]), m), [])


@pytest.mark.parametrize("labels, kwargs, error, message", [
    ("both", {"padding": (5,)}, Exception, PAD_MSG),
    ("mask", {"padding": []}, Exception, PAD_MSG),
    ("both", {"class_num": []}, Exception, CLASS_MSG),
    ("keypoints", {"class_num": ()}, Exception, CLASS_MSG),
    ("mask", {"class_num": (1, 0)}, Exception, CLASS_MSG),
    ("mask", {"class_num": [1, 2.0], "bg_mask": 2}, Exception, CLASS_MSG),
    ({"image": coded_image()}, {"prob": 0}, Exception,
     "No type of label is found, it should either be keypoints, mask or both"),
    ("mask", {"padding": (6, 2)}, ValueError, None),
    ("mask", {"class_num": -1}, ValueError, None),
    ("both", {"class_num": [1, 3]}, IndexError, None),  # no polygon 3
])
def test_errors(labels, kwargs, error, message):
    with pytest.raises(error) as e:
        pandrik(make_sample(labels) if isinstance(labels, str) else labels, **kwargs)
    if message:
        assert type(e.value) is Exception and str(e.value) == message


@pytest.mark.parametrize("class_num, as_none", [
    (None, True), (2.5, True), ("x", True), (np.bool_(True), True), (np.float32(1.0), True),
    (np.int64(1), False), (True, False), (2, False),
])
def test_class_num_kinds_and_draws(class_num, as_none):
    for seed in range(4):
        data = make_sample()
        before = copies(data)
        random.seed(seed)
        pandrik(data, class_num=class_num)
        r = random.Random(seed)
        r.random()
        if as_none:
            classes = [[1, 2, 3][i] for i in count_and_sample(r, 3)]
            polys = count_and_sample(r, 3)
        else:
            classes, polys = r.sample([1, 2, 3], int(class_num)), r.sample([0, 1, 2], int(class_num))
        assert random.getstate() == r.getstate()
        polys = sorted(polys)
        check_zoom(before, data, expected_rect(selection(before, classes, polys), 0), polys)


@pytest.mark.parametrize("labels, class_num, padding, classes, polys", [
    ("both", [1], 0, [1], [1]), ("both", [2], 3, [2], [2]), ("both", [2, 1], 5, [1, 2], [1, 2]),
    ("both", 10, 1, [1, 2, 3], [0, 1, 2]), ("keypoints", (0,), 2, [], [0]), ("mask", [1, 7], 2, [1], []),
    ("mask", 5, 0, [1, 2, 3], []),
])
def test_one_crop_for_all_labels(labels, class_num, padding, classes, polys):
    data = make_sample(labels)
    before = copies(data)
    pandrik(data, class_num=class_num, padding=padding)
    check_zoom(before, data, expected_rect(selection(before, classes, polys), padding), polys)


@pytest.mark.parametrize("labels, kwargs", [
    ("mask", {"class_num": [7]}), ("mask", {"class_num": [4, 9]}), ("both", {"class_num": 0}),
    ("keypoints", {"class_num": 0}), ("mask", {"bg_mask": 0, "prob": 0}), ("both", {"prob": 0, "padding": (1,)}),
])
def test_nothing_selected_leaves_record(labels, kwargs):
    data = make_sample(labels)
    entries = dict(data)
    pandrik(data, **dict({"padding": 2}, **kwargs))
    assert set(data) == set(entries) and all(data[k] is entries[k] for k in entries)


def test_background_only_mask():
    data = make_sample("mask")
    data["mask"][:] = 5
    mask = data["mask"]
    random.seed(3)
    pandrik(data, bg_mask=5)
    r = random.Random(3)
    r.random()
    assert random.getstate() == r.getstate() and data["mask"] is mask


@pytest.mark.parametrize("constant_size, scaled", [
    (True, True), (1, True), (1.0, True), (np.True_, True), (2, False), ("yes", False), (False, False),
])
def test_constant_size_by_equality(constant_size, scaled):
    data = make_sample()
    before = copies(data)
    pandrik(data, class_num=[1], padding=2, constant_size=constant_size)
    check_zoom(before, data, expected_rect(selection(before, [1], [1]), 2), [1], scale=scaled)


@pytest.mark.parametrize("dtype", [np.int32, np.int64, np.int16, np.float32, np.float64])
def test_scaled_keypoints_keep_type(dtype):
    data = make_sample("keypoints", kp_dtype=dtype)
    data["keypoints"][0] = rect_row(31, 11, 47, 17)
    before = copies(data)
    pandrik(data, class_num=[0, 2], padding=3, constant_size=True)
    assert data["keypoints"].dtype == dtype
    check_zoom(before, data, expected_rect(selection(before, polygons=[0, 2]), 3), [0, 2], scale=True)


def test_integer_keypoints_truncate():
    data = make_sample("keypoints")
    pandrik(data, class_num=[1], constant_size=True)
    x = (np.array([5, 19]) - 5) / 15 * W  # 15 x 15 crop scaled to 60 x 80
    assert list(data["keypoints"][0, [0, 2]]) == list(np.trunc(x).astype(int)) and np.any(x != np.trunc(x))


def test_keypoints_moved_in_place_in_strided_arrays():
    data = make_sample()
    before = copies(data)
    data["mask"] = np.asfortranarray(data["mask"])
    base = np.zeros((3, 16), np.int32)
    base[:, ::2] = data["keypoints"]
    data["keypoints"] = base[:, ::2]
    pandrik(data, class_num=[1, 2], padding=2)
    top, left, _, _ = rect = expected_rect(selection(before, [1, 2], [1, 2]), 2)
    check_zoom(before, data, rect, [1, 2])
    moved = before["keypoints"] - np.tile([left, top], 4)
    np.testing.assert_array_equal(base[:, ::2], moved)
    assert not base[:, 1::2].any() and data["keypoints"].base is not base


@pytest.mark.parametrize("change, error", [
    (lambda d: d.update(mask=np.zeros((H, W, 1), np.uint8)), ValueError),
    (lambda d: d.update(mask=np.zeros((H - 1, W), np.uint8)), ValueError),
    (lambda d: d.update(mask=[[0, 1]]), TypeError),
    (lambda d: d.update(mask=np.zeros((H, W), np.complex64)), TypeError),
    (lambda d: d.update(mask=np.zeros((H, W), np.float16)), TypeError),
    (lambda d: d.update(keypoints=np.zeros((2, 7), np.int32)), ValueError),
    (lambda d: d.update(keypoints=np.zeros(8, np.int32)), ValueError),
    (lambda d: d["keypoints"].setflags(write=False), ValueError),
    (lambda d: d.update(image=np.zeros(5, np.uint8)), ValueError),
    (lambda d: d.pop("image"), KeyError),
])
def test_bad_input(change, error):
    data = make_sample()
    change(data)
    with pytest.raises(error):
        pandrik(data, class_num=[1])


@pytest.mark.parametrize("dtype", [np.int8, np.uint16, ">u2", np.uint64, np.float32, bool])
def test_mask_types(dtype):
    data = make_sample("mask")
    data["mask"] = (data["mask"] == 2) if dtype is bool else data["mask"].astype(dtype)
    cls = True if dtype is bool else 2
    before = copies(data)
    pandrik(data, class_num=[cls], padding=1)
    check_zoom(before, data, expected_rect(before["mask"] == cls, 1), [])
    pandrik(before, class_num=[cls], padding=1, constant_size=True)
    assert before["mask"].dtype == np.dtype(dtype) and set(np.unique(before["mask"]).tolist()) == {0, cls}
