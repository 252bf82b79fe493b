import random

import numpy as np
import pytest

from conftest import replay
from kiro.core.pandrik import pandrik

H, W = 60, 80
PAD_MSG = "Wrong padding length: it should be a number or a tuple/list that not contains bg_mask."
CLASS_MSG = "Wrong class_num type: it should be a number or a tuple/list that not contains bg_mask."

# Axis-aligned rectangles (x0, y0, x1, y1), inclusive: classes 1..3 of the mask,
# and polygons 0..2 (polygon 2 lies where the mask is background).
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
        mask = np.zeros((H, W), np.uint8)
        for c, (x0, y0, x1, y1) in CLASS_RECTS.items():
            mask[y0:y1 + 1, x0:x1 + 1] = c
        data["mask"] = mask
    if labels in ("both", "keypoints"):
        data["keypoints"] = np.array([rect_row(*r) for r in POLY_RECTS], kp_dtype)
    return data


def selection(data, classes=(), polygons=()):
    """Union of the chosen classes' pixels and the chosen (rectangular) polygons."""
    sel = np.zeros((H, W), bool)
    if "mask" in data:
        sel |= np.isin(data["mask"], list(classes))
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
    """Image, mask and keypoints of `out` are `before` cut to `rect` (and scaled)."""
    top, left, ch, cw = rect
    img = before["image"][top:top + ch, left:left + cw]
    if scale:
        assert out["image"].shape == before["image"].shape
    else:
        np.testing.assert_array_equal(out["image"], img)
    if "mask" in before:
        crop = before["mask"][top:top + ch, left:left + cw]
        if scale:
            assert out["mask"].shape == (H, W) and set(np.unique(out["mask"])) <= set(np.unique(crop))
        else:
            np.testing.assert_array_equal(out["mask"], crop)
    if "keypoints" in before:
        kp = before["keypoints"][rows].copy()
        kp[:, 0::2] -= left
        kp[:, 1::2] -= top
        if scale:
            # Scaled in the array's real type (float64 for integer arrays).
            kp = kp.astype(np.result_type(kp.dtype, np.float16) if kp.dtype.kind == "f" else np.float64)
            kp[:, 0::2] = kp[:, 0::2] / cw * W
            kp[:, 1::2] = kp[:, 1::2] / ch * H
        np.testing.assert_array_equal(out["keypoints"], kp.astype(before["keypoints"].dtype))


def copies(data):
    return {k: v.copy() for k, v in data.items()}


def unchanged(data, before):
    return all(np.array_equal(data[k], before[k]) and data[k].shape == before[k].shape for k in before)


# ---- margin -----------------------------------------------------------------

@pytest.mark.parametrize("padding, margin", [
    (7.9, 7), (3, 3), ((3, 3), 3), ([4, 4.8], 4), (None, 0), ("5", 0), (True, 1),
    (np.int64(2), 2), (np.float32(3.0), 0), (np.float64(2.5), 2), ((2, 2, 9), 2),
])
def test_margin_forms(padding, margin):
    data = make_sample("mask")
    before = copies(data)
    pandrik(data, class_num=[1], padding=padding)
    check_zoom(before, data, expected_rect(selection(before, [1]), margin), [])


@pytest.mark.parametrize("padding", [[2, 6], (0, 4)])
def test_margin_range_draws(padding):
    for seed in range(6):
        data = make_sample("mask")
        before = copies(data)
        random.seed(seed)
        pandrik(data, class_num=[2], padding=padding)
        r = random.Random(seed)
        r.random()
        margin = r.randint(*padding)
        assert random.getstate() == r.getstate()
        check_zoom(before, data, expected_rect(selection(before, [2]), margin), [])


@pytest.mark.parametrize("padding", [(5,), [], [3]])
def test_short_padding_raises(padding):
    with pytest.raises(Exception) as e:
        pandrik(make_sample(), padding=padding)
    assert type(e.value) is Exception and str(e.value) == PAD_MSG


def test_margin_range_reversed():
    with pytest.raises(ValueError):
        pandrik(make_sample(), padding=(6, 2))


# ---- class argument -----------------------------------------------------------

@pytest.mark.parametrize("labels, class_num, bg", [
    ("both", [], 0), ("keypoints", (), 0), ("mask", (0,), 0), ("both", [1, 0], 0),
    ("mask", [1, 2.0], 2),
])
def test_bad_class_list(labels, class_num, bg):
    with pytest.raises(Exception) as e:
        pandrik(make_sample(labels), class_num=class_num, bg_mask=bg)
    assert type(e.value) is Exception and str(e.value) == CLASS_MSG


def test_background_entry_allowed_without_mask():
    data = make_sample("keypoints")
    before = copies(data)
    pandrik(data, class_num=(0,))
    check_zoom(before, data, expected_rect(selection(before, polygons=[0]), 0), [0])


def count_and_sample(r, n):
    """None: a count in [1, n], then that many of n candidates."""
    return r.sample(range(n), r.randint(1, n)) if n else []


@pytest.mark.parametrize("class_num, as_none", [
    (None, True), (2.5, True), ("x", True), (np.bool_(True), True), (np.float32(1.0), True),
    ({1: 1}, True), (np.int64(1), False), (True, False), (2, False),
])
def test_class_num_kinds_and_draws(class_num, as_none):
    for seed in range(4):
        data = make_sample()
        before = copies(data)
        random.seed(seed)
        pandrik(data, class_num=class_num)
        r = random.Random(seed)
        r.random()
        cands = [1, 2, 3]
        if as_none:
            classes = [cands[i] for i in count_and_sample(r, 3)]
            polys = count_and_sample(r, 3)
        else:
            k = int(class_num)
            classes = r.sample(cands, k)
            polys = r.sample([0, 1, 2], k)
        assert random.getstate() == r.getstate()
        polys = sorted(polys)
        check_zoom(before, data, expected_rect(selection(before, classes, polys), 0), polys)


@pytest.mark.parametrize("labels", ["mask", "keypoints", "both"])
def test_count_above_number_takes_all(labels):
    data = make_sample(labels)
    before = copies(data)
    state = replay(99, [lambda r: r.random()])
    random.seed(99)
    pandrik(data, class_num=10, padding=1)
    assert random.getstate() == state
    check_zoom(before, data, expected_rect(selection(before, [1, 2, 3], [0, 1, 2]), 1), [0, 1, 2])


def test_negative_count_raises():
    with pytest.raises(ValueError):
        pandrik(make_sample("mask"), class_num=-1)


# ---- crops -----------------------------------------------------------------------

@pytest.mark.parametrize("class_num, padding", [([1], 0), ([2], 3), ([1, 2], 2), ([2, 1], 5), ((1,), 1)])
def test_two_labels_share_one_crop(class_num, padding):
    data = make_sample()
    before = copies(data)
    pandrik(data, class_num=class_num, padding=padding)
    classes = [c for c in class_num if c in CLASS_RECTS]
    polys = sorted(p for p in class_num if p < len(POLY_RECTS))
    rect = expected_rect(selection(before, classes, polys), padding)
    check_zoom(before, data, rect, polys)
    # Traced back through the coded image: mask pixels and vertices are where they were.
    img = data["image"].astype(int)
    np.testing.assert_array_equal(data["mask"], before["mask"][img[..., 0], img[..., 1]])
    for row, orig in zip(data["keypoints"], before["keypoints"][polys]):
        for x, y, x0, y0 in zip(row[0::2], row[1::2], orig[0::2], orig[1::2]):
            if 0 <= y < img.shape[0] and 0 <= x < img.shape[1]:
                assert (img[y, x, 0], img[y, x, 1]) == (y0, x0)


def test_unchosen_classes_stay_in_the_crop():
    data = make_sample("mask")
    data["mask"][12:14, 40:42] = 3
    pandrik(data, class_num=[1])
    assert set(np.unique(data["mask"])) == {1, 3}


@pytest.mark.parametrize("labels, class_num", [("mask", [7]), ("mask", [4, 9]), ("both", 0), ("keypoints", 0)])
def test_nothing_selected_leaves_record(labels, class_num):
    data = make_sample(labels)
    entries = dict(data)
    before = copies(data)
    pandrik(data, class_num=class_num, padding=2)
    assert all(data[k] is entries[k] for k in entries) and unchanged(data, before)


def test_background_only_mask_chooses_nothing():
    data = make_sample("mask")
    data["mask"][:] = 5
    entries = dict(data)
    state = replay(3, [lambda r: r.random()])
    random.seed(3)
    pandrik(data, bg_mask=5)
    assert random.getstate() == state
    assert data["mask"] is entries["mask"] and data["image"] is entries["image"]


def test_polygon_index_out_of_range_raises():
    with pytest.raises(IndexError):
        pandrik(make_sample(), class_num=[1, 3])


def test_absent_classes_are_skipped():
    a, b = make_sample("mask"), make_sample("mask")
    pandrik(a, class_num=[1, 7])
    pandrik(b, class_num=[1])
    np.testing.assert_array_equal(a["image"], b["image"])
    np.testing.assert_array_equal(a["mask"], b["mask"])


def test_chosen_polygons_outside_image_keep_their_rows():
    data = make_sample()
    data["keypoints"][2] = rect_row(200, 200, 220, 220)
    before = copies(data)
    pandrik(data, class_num=[2])
    check_zoom(before, data, expected_rect(selection(before, [2]), 0), [2])


# ---- scaling back -------------------------------------------------------------------

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
    # Crop 15 x 15 scaled to 60 x 80: scaled values are not integral and go toward zero.
    x = (np.array([5, 19]) - 5) / 15 * W
    assert list(data["keypoints"][0, [0, 2]]) == list(np.trunc(x).astype(int))
    assert np.any(x != np.trunc(x))


def test_scaled_mask_nearest():
    data = make_sample("mask")
    pandrik(data, class_num=[2], padding=4, constant_size=True)
    assert data["image"].shape == (H, W, 3) and data["mask"].shape == (H, W)
    assert data["mask"].dtype == np.uint8 and set(np.unique(data["mask"])) == {0, 2}


def test_keypoints_written_in_place():
    data = make_sample()
    kp = data["keypoints"]
    before = copies(data)
    pandrik(data, class_num=[2], padding=1)
    top, left, _, _ = expected_rect(selection(before, [2], [2]), 1)
    expected = before["keypoints"].copy()
    expected[:, 0::2] -= left
    expected[:, 1::2] -= top
    np.testing.assert_array_equal(kp, expected)
    assert kp.dtype == np.int32 and data["keypoints"] is not kp


# ---- gate and bad input -----------------------------------------------------------------

def test_prob_zero_leaves_record():
    data = make_sample()
    entries = dict(data)
    state = replay(5, [lambda r: r.random()])
    random.seed(5)
    assert pandrik(data, prob=0, padding=(5,), class_num=[]) is data
    assert random.getstate() == state and all(data[k] is entries[k] for k in entries)


def test_no_label_raises_before_gate():
    with pytest.raises(Exception) as e:
        pandrik({"image": coded_image()}, prob=0)
    assert str(e.value) == "No type of label is found, it should either be keypoints, mask or both"


@pytest.mark.parametrize("change, error", [
    (lambda d: d.update(mask=np.zeros((H, W, 1), np.uint8)), ValueError),
    (lambda d: d.update(mask=np.zeros((H - 1, W), np.uint8)), ValueError),
    (lambda d: d.update(mask=[[0, 1]]), TypeError),
    (lambda d: d.update(mask=np.zeros((H, W), np.complex64)), TypeError),
    (lambda d: d.update(keypoints=np.zeros((2, 7), np.int32)), ValueError),
    (lambda d: d.update(keypoints=np.zeros(8, np.int32)), ValueError),
    (lambda d: d.update(image=np.zeros(5, np.uint8)), ValueError),
    (lambda d: d.pop("image"), KeyError),
])
def test_bad_input(change, error):
    data = make_sample()
    change(data)
    with pytest.raises(error):
        pandrik(data, class_num=[1])


def test_read_only_keypoints_refused():
    data = make_sample("keypoints")
    data["keypoints"].setflags(write=False)
    with pytest.raises(ValueError):
        pandrik(data, class_num=[0])


@pytest.mark.parametrize("dtype", [np.int8, np.uint16, np.int32, np.uint64, np.float32, bool])
def test_mask_types(dtype):
    data = make_sample("mask")
    data["mask"] = (data["mask"] == 2) if dtype is bool else data["mask"].astype(dtype)
    cls = True if dtype is bool else 2
    before = copies(data)
    pandrik(data, class_num=[cls], padding=1)
    check_zoom(before, data, expected_rect(before["mask"] == cls, 1), [])
    pandrik(before, class_num=[cls], padding=1, constant_size=True)
    assert before["mask"].dtype == np.dtype(dtype) and before["mask"].shape == (H, W)
    assert set(np.unique(before["mask"]).tolist()) == {0, cls}


def test_strided_labels():
    data = make_sample()
    before = copies(data)
    data["mask"] = np.asfortranarray(data["mask"])
    base = np.zeros((3, 16), np.int32)
    base[:, ::2] = data["keypoints"]
    data["keypoints"] = base[:, ::2]
    pandrik(data, class_num=[1, 2], padding=2)
    rect = expected_rect(selection(before, [1, 2], [1, 2]), 2)
    check_zoom(before, data, rect, [1, 2])
    np.testing.assert_array_equal(base[:, ::2][[1, 2]], data["keypoints"])
    assert not base[:, 1::2].any()
