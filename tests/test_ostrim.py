import random

import numpy as np
import pytest

from kiro.core.ostrim import ostrim
from conftest import python_turns_during
from test_pandrik import (CLASS_MSG, PAD_MSG, H, W, check_zoom, coded_image, copies, expected_rect,
                          make_sample, rect_row, selection)


def kept(data, entries):
    return set(data) == set(entries) and all(data[k] is entries[k] for k in entries)


def replayed(seed, *draws):
    r = random.Random(seed)
    r.random()
    values = [d(r) for d in draws]
    assert random.getstate() == r.getstate()
    return values


@pytest.mark.parametrize("labels", ["both", "mask", "keypoints"])
def test_class_from_list_serves_both_labels(labels):
    options = (1, 2, 5)
    for seed in range(8):
        data = make_sample(labels)
        before, entries = copies(data), dict(data)
        random.seed(seed)
        ostrim(data, class_num=options, padding=[0, 3])
        margin, cls = replayed(seed, lambda r: r.randint(0, 3), lambda r: r.choice(options))
        polys = [cls] if cls < 3 and "keypoints" in before else []
        sel = selection(before, [cls], polys)
        if sel.any():
            check_zoom(before, data, expected_rect(sel, margin), polys or slice(None))
        else:
            assert kept(data, entries)


@pytest.mark.parametrize("class_num, as_none", [
    (None, True), ("2", True), (np.bool_(True), True), (np.float32(2.0), True), (np.int64(2), False),
    (2.0, False), (True, False),
])
def test_class_num_kinds(class_num, as_none):
    for seed in range(4):
        data = make_sample("mask")
        before = copies(data)
        random.seed(seed)
        ostrim(data, class_num=class_num)
        draws = [lambda r: r.choice([1, 2, 3])] if as_none else []
        cls = (replayed(seed, *draws) or [class_num])[0]
        check_zoom(before, data, expected_rect(selection(before, [cls]), 0), [])


@pytest.mark.parametrize("padding", [None, 4])
def test_mask_class_becomes_polygon_index(padding):
    for seed in range(8):
        data = make_sample()
        before = copies(data)
        random.seed(seed)
        ostrim(data, padding=padding)
        cls = replayed(seed, lambda r: r.choice([1, 2, 3]))[0]
        polys = [cls] if cls < 3 else []
        rect = expected_rect(selection(before, [cls], polys), padding or 0)
        check_zoom(before, data, rect, polys or slice(None))


def test_keypoint_only_draws_a_row():
    data = make_sample("keypoints")
    data["keypoints"] = np.vstack([data["keypoints"], [rect_row(1, 1, 9, 9)]]).astype(np.int32)
    for seed in range(8):
        sample = copies(data)
        random.seed(seed)
        ostrim(sample)
        row = replayed(seed, lambda r: r.randint(0, 3))[0]
        assert sample["keypoints"].shape == (1, 8)
        check_zoom(data, sample, expected_rect(selection(data, polygons=[row]), 0), [row])


def test_number_equal_to_background_zooms_on_background():
    data = make_sample("mask")
    data["mask"][:, :20] = data["mask"][:, 70:] = 1
    before = copies(data)
    ostrim(data, class_num=0)
    check_zoom(before, data, expected_rect(before["mask"] == 0, 0), [])


def test_polygon_outside_image_with_mask_class():
    data = make_sample()
    data["keypoints"][1] = rect_row(-50, -40, -10, -5)
    before = copies(data)
    ostrim(data, class_num=1)
    check_zoom(before, data, expected_rect(selection(before, [1]), 0), [1])


def outside(d):
    d["keypoints"][1] = rect_row(-50, -40, -10, -5)


@pytest.mark.parametrize("labels, change, kwargs", [
    ("mask", None, {"class_num": 7}), ("both", None, {"class_num": 7}), ("keypoints", None, {"class_num": 3}),
    ("keypoints", None, {"class_num": 9.5}), ("keypoints", outside, {"class_num": 1, "padding": 3}),
    ("keypoints", lambda d: d.update(keypoints=np.zeros((0, 8), np.int32)), {}),
    ("both", None, {"prob": 0, "padding": (1,), "class_num": []}),
])
def test_nothing_to_zoom_leaves_record(labels, change, kwargs):
    data = make_sample(labels)
    if change:
        change(data)
    entries, before = dict(data), copies(data)
    assert ostrim(data, **kwargs) is data
    assert kept(data, entries) and all(np.array_equal(data[k], before[k]) for k in before)


@pytest.mark.parametrize("labels, constant_size, scaled", [
    ("both", 2, True), ("both", "yes", True), ("both", True, True), ("both", 0, False),
    ("mask", [1], True), ("keypoints", 2, False), ("keypoints", 1.0, True), ("keypoints", True, True),
])
def test_constant_size(labels, constant_size, scaled):
    data = make_sample(labels)
    before = copies(data)
    kp = data.get("keypoints")
    ostrim(data, class_num=1, padding=2, constant_size=constant_size)
    polys = [1] if "keypoints" in before else []
    check_zoom(before, data, expected_rect(selection(before, [1], polys), 2), polys, scale=scaled)
    if kp is not None:  # the caller's array holds every moved row
        np.testing.assert_array_equal(kp[1], data["keypoints"][0])


@pytest.mark.parametrize("data, kwargs, error, message", [
    (make_sample(), {"padding": (5,)}, Exception, PAD_MSG),
    (make_sample("mask"), {"class_num": (1, 0)}, Exception, CLASS_MSG),
    (make_sample("keypoints"), {"class_num": []}, Exception, CLASS_MSG),
    ({"image": coded_image()}, {"prob": 0}, Exception,
     "No type of label is found, it should either be keypoints, mask or both"),
    ({"mask": np.zeros((4, 4), np.uint8)}, {"prob": 0}, KeyError, None),
    (make_sample("keypoints"), {"class_num": 1.0}, TypeError, None),
    (dict(make_sample(), mask=np.zeros((H, W, 3), np.uint8)), {}, ValueError, None),
    (dict(make_sample(), mask=np.zeros((H, W + 2), np.uint8)), {}, ValueError, None),
    (dict(make_sample(), mask="mask"), {}, TypeError, None),
    (dict(make_sample(), keypoints=np.zeros((3, 5), np.int32)), {}, ValueError, None),
    (dict(make_sample(), keypoints=np.zeros((3, 8), bool)), {}, TypeError, None),
    (dict(make_sample(), image=[[1, 2]]), {}, TypeError, None),
])
def test_errors(data, kwargs, error, message):
    random.seed(4)
    with pytest.raises(error) as e:
        ostrim(data, **kwargs)
    if message:
        assert type(e.value) is Exception and str(e.value) == message
    if kwargs.get("prob") == 0:  # raised before the gate's draw
        assert random.getstate() == random.Random(4).getstate()


@pytest.mark.parametrize("op", ["pandrik", "ostrim"])
def test_pixel_work_releases_the_gil(op):
    from kiro.core.pandrik import pandrik
    mask = np.zeros((1500, 2000), np.uint8)
    mask[200:900, 300:1500] = 1
    image = np.random.RandomState(0).randint(0, 256, (1500, 2000, 3)).astype(np.uint8)
    zoom = pandrik if op == "pandrik" else ostrim
    # Several calls, so that a busy machine still schedules the other thread.
    calls = lambda: [zoom({"image": image, "mask": mask}, class_num=[1], constant_size=True) for _ in range(5)]
    assert python_turns_during(calls) > 1000
