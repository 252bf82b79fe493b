import random

import numpy as np
import pytest

from conftest import replay
from kiro.core.ostrim import ostrim
from test_pandrik import (CLASS_MSG, PAD_MSG, H, W, check_zoom, coded_image, copies, expected_rect,
                          make_sample, rect_row, selection)


def entries_kept(data, entries):
    return set(data) == set(entries) and all(data[k] is entries[k] for k in entries)


# ---- margin and class argument ----------------------------------------------------

@pytest.mark.parametrize("padding, margin", [
    (7.9, 7), ((3, 3), 3), (None, 0), ([1, 1, 8], 1), (np.int16(4), 4), (np.float32(4.0), 0), (False, 0),
])
def test_margin_forms(padding, margin):
    data = make_sample("mask")
    before = copies(data)
    ostrim(data, class_num=2, padding=padding)
    check_zoom(before, data, expected_rect(selection(before, [2]), margin), [])


@pytest.mark.parametrize("padding", [(5,), []])
def test_short_padding_raises(padding):
    with pytest.raises(Exception) as e:
        ostrim(make_sample(), padding=padding)
    assert type(e.value) is Exception and str(e.value) == PAD_MSG


@pytest.mark.parametrize("labels, class_num", [("both", []), ("keypoints", ()), ("mask", (1, 0)), ("both", [0])])
def test_bad_class_list(labels, class_num):
    with pytest.raises(Exception) as e:
        ostrim(make_sample(labels), class_num=class_num)
    assert type(e.value) is Exception and str(e.value) == CLASS_MSG


@pytest.mark.parametrize("labels", ["both", "mask", "keypoints"])
def test_class_from_list_serves_both_labels(labels):
    options = (1, 2, 5)
    for seed in range(8):
        data = make_sample(labels)
        before = copies(data)
        random.seed(seed)
        ostrim(data, class_num=options, padding=[0, 3])
        r = random.Random(seed)
        r.random()
        margin = r.randint(0, 3)
        cls = r.choice(options)
        assert random.getstate() == r.getstate()
        polys = [cls] if cls < 3 else []
        if "keypoints" not in before:
            polys = []
        sel = selection(before, [cls], polys)
        if not sel.any():
            assert unchanged_values(data, before)
            continue
        check_zoom(before, data, expected_rect(sel, margin), polys or slice(None))


def unchanged_values(data, before):
    return all(np.array_equal(data[k], before[k]) for k in before)


@pytest.mark.parametrize("class_num, as_none", [
    (None, True), ("2", True), (np.bool_(True), True), (np.float32(2.0), True), (np.int64(2), False),
    (2.0, False), (True, False),
])
def test_class_num_kinds(class_num, as_none):
    for seed in range(5):
        data = make_sample("mask")
        before = copies(data)
        random.seed(seed)
        ostrim(data, class_num=class_num)
        r = random.Random(seed)
        r.random()
        cls = r.choice([1, 2, 3]) if as_none else class_num
        assert random.getstate() == r.getstate()
        check_zoom(before, data, expected_rect(selection(before, [cls]), 0), [])


def test_mask_class_becomes_polygon_index():
    for seed in range(8):
        data = make_sample()
        before = copies(data)
        random.seed(seed)
        ostrim(data, padding=2)
        r = random.Random(seed)
        r.random()
        cls = r.choice([1, 2, 3])
        assert random.getstate() == r.getstate()
        polys = [cls] if cls < 3 else []
        check_zoom(before, data, expected_rect(selection(before, [cls], polys), 2), polys or slice(None))


def test_keypoint_only_draws_a_row():
    data = make_sample("keypoints")
    data["keypoints"] = np.vstack([data["keypoints"], [rect_row(1, 1, 9, 9)]]).astype(np.int32)
    for seed in range(8):
        sample = copies(data)
        random.seed(seed)
        ostrim(sample)
        r = random.Random(seed)
        r.random()
        row = r.randint(0, 3)
        assert random.getstate() == r.getstate()
        assert sample["keypoints"].shape == (1, 8)
        check_zoom(data, sample, expected_rect(selection(data, polygons=[row]), 0), [row])


def test_number_equal_to_background_zooms_on_background():
    data = make_sample("mask")
    data["mask"][:, :20] = 1
    data["mask"][:, 70:] = 1
    before = copies(data)
    ostrim(data, class_num=0)
    check_zoom(before, data, expected_rect(before["mask"] == 0, 0), [])


# ---- nothing to zoom -----------------------------------------------------------------

@pytest.mark.parametrize("labels, class_num", [
    ("mask", 7), ("both", 7), ("keypoints", 3), ("keypoints", 9.5),
])
def test_absent_class_leaves_record(labels, class_num):
    data = make_sample(labels)
    entries = dict(data)
    ostrim(data, class_num=class_num)
    assert entries_kept(data, entries)


def test_polygon_outside_image_leaves_record():
    data = make_sample("keypoints")
    data["keypoints"][1] = rect_row(-50, -40, -10, -5)
    entries, before = dict(data), copies(data)
    ostrim(data, class_num=1, padding=3)
    assert entries_kept(data, entries) and unchanged_values(data, before)


def test_polygon_outside_image_with_mask_class():
    data = make_sample()
    data["keypoints"][1] = rect_row(-50, -40, -10, -5)
    before = copies(data)
    ostrim(data, class_num=1)
    check_zoom(before, data, expected_rect(selection(before, [1]), 0), [1])


def test_empty_keypoints():
    data = {"image": coded_image(), "keypoints": np.zeros((0, 8), np.int32)}
    entries = dict(data)
    state = replay(2, [lambda r: r.random()])
    random.seed(2)
    ostrim(data)
    assert random.getstate() == state and entries_kept(data, entries)


def test_real_index_reaching_keypoints_raises():
    with pytest.raises(TypeError):
        ostrim(make_sample("keypoints"), class_num=1.0)


# ---- one crop, scaling back ---------------------------------------------------------------

@pytest.mark.parametrize("class_num, padding", [(1, 0), (2, 4), (0, 1)])
def test_two_labels_share_one_crop(class_num, padding):
    data = make_sample()
    before = copies(data)
    ostrim(data, class_num=class_num, padding=padding)
    sel = selection(before, [class_num], [class_num])
    check_zoom(before, data, expected_rect(sel, padding), [class_num])
    img = data["image"].astype(int)
    np.testing.assert_array_equal(data["mask"], before["mask"][img[..., 0], img[..., 1]])
    row, orig = data["keypoints"][0], before["keypoints"][class_num]
    for x, y, x0, y0 in zip(row[0::2], row[1::2], orig[0::2], orig[1::2]):
        if 0 <= y < img.shape[0] and 0 <= x < img.shape[1]:
            assert (img[y, x, 0], img[y, x, 1]) == (y0, x0)


@pytest.mark.parametrize("labels, constant_size, scaled", [
    ("both", 2, True), ("both", "yes", True), ("both", True, True), ("both", 0, False),
    ("mask", [1], True), ("keypoints", 2, False), ("keypoints", 1.0, True), ("keypoints", True, True),
])
def test_constant_size(labels, constant_size, scaled):
    data = make_sample(labels)
    before = copies(data)
    ostrim(data, class_num=1, padding=2, constant_size=constant_size)
    polys = [1] if "keypoints" in before else []
    check_zoom(before, data, expected_rect(selection(before, [1], polys), 2), polys, scale=scaled)


@pytest.mark.parametrize("dtype", [np.int32, np.uint16, np.float64])
def test_keypoints_moved_in_place(dtype):
    data = make_sample(kp_dtype=dtype)
    kp = data["keypoints"]
    before = copies(data)
    ostrim(data, class_num=2, padding=1, constant_size=True)
    top, left, ch, cw = expected_rect(selection(before, [2], [2]), 1)
    expected = before["keypoints"].astype(np.float64)
    expected[:, 0::2] = (expected[:, 0::2] - left) / cw * W
    expected[:, 1::2] = (expected[:, 1::2] - top) / ch * H
    np.testing.assert_array_equal(kp, expected.astype(dtype))
    assert kp.dtype == dtype
    np.testing.assert_array_equal(data["keypoints"], kp[[2]])


# ---- gate and bad input --------------------------------------------------------------------

def test_prob_zero_leaves_record():
    data = make_sample()
    entries = dict(data)
    state = replay(8, [lambda r: r.random()])
    random.seed(8)
    assert ostrim(data, prob=0, padding=(1,), class_num=[]) is data
    assert random.getstate() == state and entries_kept(data, entries)


@pytest.mark.parametrize("data, error", [
    ({"image": np.zeros((4, 4, 3), np.uint8)}, Exception),
    ({"mask": np.zeros((4, 4), np.uint8)}, KeyError),
])
def test_checks_before_gate(data, error):
    state = replay(4, [])
    random.seed(4)
    with pytest.raises(error):
        ostrim(data, prob=0)
    assert random.getstate() == state


@pytest.mark.parametrize("change, error", [
    (lambda d: d.update(mask=np.zeros((H, W, 3), np.uint8)), ValueError),
    (lambda d: d.update(mask=np.zeros((H, W + 2), np.uint8)), ValueError),
    (lambda d: d.update(mask="mask"), TypeError),
    (lambda d: d.update(keypoints=np.zeros((3, 5), np.int32)), ValueError),
    (lambda d: d.update(keypoints=np.zeros((3, 8), bool)), TypeError),
    (lambda d: d.update(image=[[1, 2]]), TypeError),
])
def test_bad_input(change, error):
    data = make_sample()
    change(data)
    with pytest.raises(error):
        ostrim(data, class_num=1)
