import random

import numpy as np
import pytest

import kiro.core.murtane as murtane_mod
from conftest import replay
from kiro.core.KirO import DELETED_FILL_MEAN, DELETED_FILL_RANDOM
from kiro.core.murtane import murtane
from kiro.utils.fill_in import fill_in
from kiro.utils.kp2mask import kp2mask

MESSAGE = "Wrong class_num type: it should be a tuple/list that not contains bg_mask."

# Four disjoint rectangles (x0, y0, x1, y1); polygon row i and mask class i + 1.
BOXES = [(2, 2, 17, 13), (22, 3, 37, 16), (44, 30, 61, 45), (64, 40, 77, 56)]


def make_record(image, rows=4, mask_dtype=np.uint8):
    mask = np.zeros(image.shape[:2], mask_dtype)
    for c in (1, 2, 3):
        x0, y0, x1, y1 = BOXES[c - 1]
        mask[y0:y1 + 1, x0:x1 + 1] = c
    keypoints = np.array([[x0, y0, x1, y0, x1, y1, x0, y1] for x0, y0, x1, y1 in (BOXES * 2)[:rows]],
                         np.int32).reshape(rows, 8)
    return {"image": image, "mask": mask, "keypoints": keypoints}


class Spy:
    """Stands in for a helper looked up at call time; records its arguments."""

    def __init__(self, target):
        self.target, self.calls = target, []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.target(*args, **kwargs)


@pytest.fixture
def spies(monkeypatch):
    fill, kp = Spy(fill_in), Spy(kp2mask)
    monkeypatch.setattr(murtane_mod, "fill_in", fill)
    monkeypatch.setattr(murtane_mod, "kp2mask", kp)
    return fill, kp


def filled(image, regions, fill_type):
    for region in regions:
        image = fill_in(image, region, fill_type)
    return image


@pytest.mark.parametrize("rows, class_num, removed", [
    (4, [3, 1], [1, 3]),          # sorted to [1, 3]; 3 - 1 names the former row 3
    (2, [1, 5], [1]),             # 5 - 1 is not below the one row left
    (4, (3, 3), [3]),             # a repeated index counts once
    (4, [2, 2, -1, 0], [0, 2]),   # negatives dropped before the walk
    (4, [-3, -1], []),
    (4, (0,), [0]),               # bg_mask in the list is fine without a mask
    (5, [4, 0, 9, 2], [0, 2, 4]),
])
def test_polygon_walk(image, spies, rows, class_num, removed):
    fill, kp = spies
    data = make_record(image, rows=rows)
    del data["mask"]
    kps = data["keypoints"].copy()
    out = murtane(data, class_num=class_num, fill_type=5)
    assert out is data
    assert [(args[1], kw) for args, kw in kp.calls] == [(c, {"one_class_only": True}) for c in removed]
    np.testing.assert_array_equal(out["keypoints"], np.delete(kps, removed, 0))
    regions = [kp2mask({"image": image, "keypoints": kps}, c) for c in removed]
    np.testing.assert_array_equal(out["image"], filled(image, regions, 5))
    assert len(fill.calls) == len(removed) and (out["image"] is image) == (not removed)


@pytest.mark.parametrize("class_num, painted", [
    ((3, 3), [3]),           # the second 3 no longer occurs
    ([9, 2], [2]),           # absent class skipped without a fill
    ([2, 1, 3], [2, 1, 3]),
    ((2.0, 2.5, 300), [2]),  # equal values match; 2.5 and 300 never occur in uint8
])
def test_mask_classes_in_order_and_skips(image, spies, class_num, painted):
    data = make_record(image)
    del data["keypoints"]
    mask = data["mask"]
    before = mask.copy()
    out = murtane(data, class_num=class_num)
    assert out["mask"] is mask
    regions = [args[1] for args, _ in spies[0].calls]
    assert [r.dtype for r in regions] == [mask.dtype] * len(painted)
    np.testing.assert_array_equal(np.array(regions), np.array([before == c for c in painted], np.uint8))
    np.testing.assert_array_equal(mask, np.where(np.isin(before, painted), 0, before))
    np.testing.assert_array_equal(out["image"], filled(image, regions, DELETED_FILL_MEAN))


@pytest.mark.parametrize("dtype, bg", [(np.uint8, 7), (np.int16, -4), (np.uint16, 60000), (np.int64, 9),
                                       (np.float32, 0.5), (np.float64, -1.0), (np.int8, 3.9)])
def test_mask_element_types_and_background(image, spies, dtype, bg):
    data = make_record(image, mask_dtype=dtype)
    del data["keypoints"]
    mask = data["mask"]
    mask[mask == 0] = dtype(bg)
    mask[:, 0], mask[-1, :], mask[0, -1] = 1, 3, 2  # classes on the borders too
    before = mask.copy()
    murtane(data, class_num=[1, 3], bg_mask=bg)
    assert spies[0].calls[0][0][1].dtype == np.dtype(dtype)
    np.testing.assert_array_equal(mask, np.where(np.isin(before, [1, 3]), dtype(bg), before))


def test_strided_mask_is_changed_in_place_and_only_there(image):
    base = np.full((60, 160), 2, np.uint8)
    data = {"image": image, "mask": base[:, ::2]}
    murtane(data, class_num=[2], fill_type=1)
    assert (base[:, ::2] == 0).all() and (base[:, 1::2] == 2).all()


@pytest.mark.parametrize("seed", [0, 3, 11])
@pytest.mark.parametrize("labels", ["mask", "keypoints", "both"])
def test_draws_replayed_with_random_fill(image, seed, labels):
    data = make_record(image)
    kps = data["keypoints"].copy()
    if labels != "both":
        del data["keypoints" if labels == "mask" else "mask"]
    chosen = {}

    def branch(name, pool):
        def draws(r):
            chosen[name] = r.sample(pool, r.randint(1, len(pool)))
            for _ in chosen[name]:
                r.getrandbits(64)  # one seed per fill_in call
        return draws

    draws = [lambda r: r.random()]
    draws += [branch("mask", [1, 2, 3])] if labels != "keypoints" else []
    draws += [branch("rows", range(4))] if labels != "mask" else []
    expected_state = replay(seed, draws)
    images = []
    for _ in range(2):
        random.seed(seed)
        out = murtane(dict(data, mask=data["mask"].copy()) if "mask" in data else dict(data),
                      fill_type=DELETED_FILL_RANDOM)
        assert random.getstate() == expected_state
        images.append(out["image"])
    np.testing.assert_array_equal(images[0], images[1])
    if labels != "keypoints":
        assert set(np.unique(out["mask"])) == {0, 1, 2, 3} - set(chosen["mask"])
    if labels != "mask":
        np.testing.assert_array_equal(out["keypoints"], np.delete(kps, chosen["rows"], 0))


@pytest.mark.parametrize("class_num, k", [(2, 2), (np.int64(1), 1), (True, 1), (0, 0), (7, None)])
def test_integer_count(image, class_num, k):
    data = make_record(image)
    del data["keypoints"]
    random.seed(5)
    murtane(data, class_num=class_num)
    draws = [lambda r: r.random()] + ([lambda r: r.sample([1, 2, 3], k)] if k is not None else [])
    assert random.getstate() == replay(5, draws)
    assert len(set(np.unique(data["mask"])) - {0}) == (3 - k if k is not None else 0)


@pytest.mark.parametrize("fill_type", [None, DELETED_FILL_MEAN, 9, np.int32(200), np.uint8(3)])
def test_both_labels_and_fill_types(image, spies, fill_type):
    data = make_record(image)
    kps, image_before = data["keypoints"].copy(), image.copy()
    kwargs = {} if fill_type is None else {"fill_type": fill_type}
    out = murtane(data, class_num=[1], **kwargs)
    assert [args[2] for args, _ in spies[0].calls] == [DELETED_FILL_MEAN if fill_type is None else fill_type] * 2
    painted = (make_record(image)["mask"] == 1) | (kp2mask(make_record(image), 1) == 1)
    if not isinstance(fill_type, (str, type(None))):
        assert (out["image"][painted] == int(fill_type)).all()
    np.testing.assert_array_equal(out["image"][~painted], image[~painted])
    np.testing.assert_array_equal(image, image_before)
    np.testing.assert_array_equal(data["keypoints"], np.delete(kps, 1, 0))


def test_gate_labels_and_nothing_to_delete(image, spies):
    data = make_record(image)
    random.seed(2)
    assert murtane(data, prob=0) is data and data["image"] is image
    assert random.getstate() == replay(2, [lambda r: r.random()])
    with pytest.raises(KeyError):
        murtane({"mask": data["mask"]}, prob=0)
    with pytest.raises(Exception, match="^No type of label is found, it should either be keypoints, mask or both$"):
        murtane({"image": image})
    assert murtane({"image": image, "mask": np.zeros((60, 80), np.uint8)})["image"] is image
    assert not spies[0].calls


@pytest.mark.parametrize("class_num", [2.5, "1", [], (), (0,), [1, 0], np.float32(1), np.bool_(True), {1}])
def test_wrong_class_num(image, class_num):
    with pytest.raises(Exception) as err:
        murtane(make_record(image), class_num=class_num)
    assert type(err.value) is Exception and str(err.value) == MESSAGE


@pytest.mark.parametrize("change, kwargs, error", [
    ({"mask": np.zeros((60, 81), np.uint8)}, {}, ValueError),
    ({"mask": np.zeros((60, 80, 1), np.uint8)}, {}, ValueError),
    ({"mask": [[0, 1]]}, {}, TypeError),
    ({"mask": np.zeros((60, 80), np.complex64)}, {}, TypeError),
    ({"keypoints": np.zeros((2, 7), np.int32)}, {}, ValueError),
    ({"keypoints": np.zeros(8, np.int32)}, {}, ValueError),
    ({"keypoints": np.zeros((2, 8), object)}, {}, TypeError),
    ({"image": [[1, 2]]}, {}, TypeError),
    ({}, {"bg_mask": 256}, ValueError),
    ({}, {"bg_mask": "x"}, TypeError),
    ({}, {"class_num": -1}, ValueError),     # a negative count fails in the draw
    ({}, {"class_num": [1.5]}, IndexError),  # not a row index
])
def test_bad_input(image, change, kwargs, error):
    data = dict(make_record(image), **change)
    with pytest.raises(error):
        murtane(data, **dict({"class_num": [1]}, **kwargs))
    if "bg_mask" in kwargs:
        assert (data["mask"] == 1).any()  # refused before anything was written


def test_read_only_mask(image):
    data = make_record(image)
    data["mask"].flags.writeable = False
    with pytest.raises(ValueError):
        murtane(data, class_num=[1])
