import random

import numpy as np
import pytest

import kiro.core.yelmot as yelmot_mod
from conftest import replay
from kiro.core.KirO import DELETED_FILL_MEAN, DELETED_FILL_RANDOM
from kiro.core.yelmot import yelmot
from kiro.utils.fill_in import fill_in
from kiro.utils.kp2mask import kp2mask

MESSAGE = "Wrong class_num type: it should be a number or a tuple/list that not contains bg_mask."

# Disjoint rectangles (x0, y0, x1, y1); polygon row i and mask class i + 1.
BOXES = [(2, 2, 17, 13), (22, 3, 37, 16), (44, 30, 61, 45), (64, 40, 77, 56), (5, 40, 20, 55)]


def make_record(image, classes=(1, 2, 3), rows=3, mask=True, keypoints=True):
    data = {"image": image}
    if mask:
        m = np.zeros(image.shape[:2], np.uint8)
        for c in classes:
            x0, y0, x1, y1 = BOXES[c - 1]
            m[y0:y1 + 1, x0:x1 + 1] = c
        data["mask"] = m
    if keypoints:
        data["keypoints"] = np.array([[x0, y0, x1, y0, x1, y1, x0, y1] for x0, y0, x1, y1 in BOXES[:rows]],
                                     np.int32).reshape(rows, 8)
    return data


class Spy:
    def __init__(self, target):
        self.target, self.calls = target, []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.target(*args, **kwargs)


@pytest.fixture
def spies(monkeypatch):
    fill, kp = Spy(fill_in), Spy(kp2mask)
    monkeypatch.setattr(yelmot_mod, "fill_in", fill)
    monkeypatch.setattr(yelmot_mod, "kp2mask", kp)
    return fill, kp


def polygon_region(image, kps, row):
    return kp2mask({"image": image, "keypoints": kps}, row)


@pytest.mark.parametrize("class_num, rows, mask_class, row", [
    (2, 3, 2, 2),
    (np.int16(1), 3, 1, 1),
    (True, 3, 1, 1),
    (2.0, 2, 2, None),       # a real class reaches the rows only when below their number
    (4, 5, None, 4),         # class 4 absent from the mask, row 4 still removed
    (0, 3, 0, 0),            # equal to bg_mask: background pixels are painted
    (-1, 4, None, 3),        # negative rows count from the end
    (7, 3, None, None),
])
def test_given_class(image, spies, class_num, rows, mask_class, row):
    fill, kp = spies
    data = make_record(image, rows=rows)
    mask, kps = data["mask"], data["keypoints"]
    mask_before, kps_before = mask.copy(), kps.copy()
    random.seed(4)
    out = yelmot(data, class_num=class_num, fill_type=DELETED_FILL_MEAN)
    assert random.getstate() == replay(4, [lambda r: r.random()])
    assert out is data and out["mask"] is mask
    regions = []
    if mask_class is not None:
        regions.append((mask_before == mask_class).astype(np.uint8))
    if row is not None:
        regions.append(polygon_region(image, kps_before, row))
        assert [(args[1], kw) for args, kw in kp.calls] == [(row, {"one_class_only": True})]
    assert len(fill.calls) == len(regions)
    for (args, _), region in zip(fill.calls, regions):
        np.testing.assert_array_equal(args[1], region)
    expected = image
    for region in regions:
        expected = fill_in(expected, region, DELETED_FILL_MEAN)
    np.testing.assert_array_equal(out["image"], expected)
    expected_mask = mask_before.copy()
    if mask_class is not None:
        expected_mask[mask_before == mask_class] = 0
    np.testing.assert_array_equal(mask, expected_mask)
    expected_kps = kps_before if row is None else np.delete(kps_before, row, 0)
    np.testing.assert_array_equal(out["keypoints"], expected_kps)
    np.testing.assert_array_equal(kps, kps_before)


def test_real_class_below_rows_fails_as_index(image):
    data = make_record(image, rows=3)
    with pytest.raises(IndexError):
        yelmot(data, class_num=2.0)
    assert not (data["mask"] == 2).any()  # the mask branch ran first


@pytest.mark.parametrize("seed", range(5))
@pytest.mark.parametrize("labels", ["mask", "keypoints", "both"])
def test_random_choice_replayed(image, seed, labels):
    data = make_record(image, rows=3, mask=labels != "keypoints", keypoints=labels != "mask")
    picked = {}

    def choose(r):
        picked["c"] = r.choice([1, 2, 3]) if labels != "keypoints" else r.randint(0, 2)
        if labels == "both" and picked["c"] < 3:
            r.getrandbits(64)
        r.getrandbits(64)

    random.seed(seed)
    out = yelmot(data, fill_type=DELETED_FILL_RANDOM)
    assert random.getstate() == replay(seed, [lambda r: r.random(), choose])
    c = picked["c"]
    if labels != "keypoints":
        assert set(np.unique(out["mask"])) == {0, 1, 2, 3} - {c}
    if labels != "mask":
        kept = [i for i in range(3) if i != c]
        np.testing.assert_array_equal(out["keypoints"], make_record(image)["keypoints"][kept])
    # The same fills, replayed by hand.
    random.seed(seed)
    random.random()
    ref = make_record(image)
    expected = image
    if labels != "keypoints":
        expected = fill_in(expected, (ref["mask"] == random.choice([1, 2, 3])).astype(np.uint8),
                           DELETED_FILL_RANDOM)
        row = c
    else:
        row = random.randint(0, 2)
    if labels != "mask" and row < 3:
        expected = fill_in(expected, polygon_region(image, ref["keypoints"], row), DELETED_FILL_RANDOM)
    np.testing.assert_array_equal(out["image"], expected)


@pytest.mark.parametrize("class_num", [(2, 2, 9), [3, 1]])
def test_choice_from_sequence(image, class_num):
    data = make_record(image, rows=5)
    random.seed(8)
    yelmot(data, class_num=class_num, fill_type=0)
    r = random.Random(8)
    r.random()
    c = r.choice(class_num)
    assert random.getstate() == r.getstate()
    assert not (data["mask"] == c).any()
    assert len(data["keypoints"]) == (4 if c < 5 else 5)


def test_choice_frequencies(image):
    hits = 0
    for seed in range(300):
        random.seed(seed)
        data = make_record(image, keypoints=False)
        yelmot(data, class_num=(2, 2, 9), fill_type=0)
        hits += not (data["mask"] == 2).any()
    assert 170 < hits < 230  # 2 with probability 2/3


@pytest.mark.parametrize("class_num", ["a", np.float32(2), np.bool_(True), {2}, None])
def test_other_kinds_mean_none(image, class_num):
    data = make_record(image, keypoints=False)
    random.seed(6)
    yelmot(data, class_num=class_num, fill_type=0)
    r = random.Random(6)
    r.random()
    c = r.choice([1, 2, 3])
    assert random.getstate() == r.getstate()
    assert set(np.unique(data["mask"])) == {0, 1, 2, 3} - {c}


@pytest.mark.parametrize("data_kind", ["background only", "empty keypoints"])
def test_nothing_to_delete(image, spies, data_kind):
    if data_kind == "background only":
        data = {"image": image, "mask": np.zeros((60, 80), np.uint8)}
    else:
        data = {"image": image, "keypoints": np.zeros((0, 8), np.int32)}
    before = dict(data)
    random.seed(1)
    out = yelmot(data)
    assert random.getstate() == replay(1, [lambda r: r.random()])
    assert out is data and all(out[k] is before[k] for k in before)
    assert not spies[0].calls


def test_both_labels_image_carries_both_fills(image):
    data = make_record(image, rows=3)
    out = yelmot(data, class_num=1, fill_type=0)
    ref = make_record(image)
    assert (out["image"][ref["mask"] == 1] == 0).all()
    assert (out["image"][polygon_region(image, ref["keypoints"], 1) == 1] == 0).all()
    untouched = (ref["mask"] != 1) & (polygon_region(image, ref["keypoints"], 1) == 0)
    np.testing.assert_array_equal(out["image"][untouched], image[untouched])


@pytest.mark.parametrize("fill_type", [DELETED_FILL_MEAN, DELETED_FILL_RANDOM, 17, np.int64(250)])
def test_fill_type_passed_unchanged(image, spies, fill_type):
    yelmot(make_record(image), class_num=2, fill_type=fill_type)
    assert [args[2] for args, _ in spies[0].calls] == [fill_type, fill_type]


def test_random_fill_reproducible(image):
    outs = []
    for _ in range(2):
        random.seed(21)
        outs.append(yelmot(make_record(image), class_num=1, fill_type=DELETED_FILL_RANDOM)["image"])
    np.testing.assert_array_equal(outs[0], outs[1])
    assert not np.array_equal(outs[0], image)


def test_default_fill_is_mean(image, spies):
    yelmot(make_record(image), class_num=1)
    assert spies[0].calls[0][0][2] == DELETED_FILL_MEAN


@pytest.mark.parametrize("class_num, has_mask", [([], True), ((), False), ((0, 1), True), ([1, 0.0], True)])
def test_wrong_class_num(image, class_num, has_mask):
    with pytest.raises(Exception) as err:
        yelmot(make_record(image, mask=has_mask), class_num=class_num)
    assert type(err.value) is Exception and str(err.value) == MESSAGE


def test_background_in_list_is_fine_without_mask(image):
    data = make_record(image, mask=False)
    random.seed(3)
    yelmot(data, class_num=(0,))
    assert len(data["keypoints"]) == 2


def test_gate_and_labels(image):
    data = make_record(image)
    assert yelmot(data, prob=0.0) is data and data["image"] is image
    with pytest.raises(KeyError):
        yelmot({"keypoints": data["keypoints"]}, prob=0.0)
    with pytest.raises(Exception) as err:
        yelmot({"image": image})
    assert str(err.value) == "No type of label is found, it should either be keypoints, mask or both"


@pytest.mark.parametrize("key, value, error", [
    ("mask", np.zeros((61, 80), np.uint8), ValueError),
    ("mask", np.zeros((60,), np.uint8), ValueError),
    ("mask", "mask", TypeError),
    ("keypoints", np.zeros((3, 5), np.int32), ValueError),
    ("keypoints", [[1, 2, 3, 4]], TypeError),
    ("image", None, TypeError),
])
def test_bad_input(image, key, value, error):
    data = make_record(image)
    data[key] = value
    with pytest.raises(error):
        yelmot(data, class_num=1)


def test_row_index_below_range(image):
    with pytest.raises(IndexError):
        yelmot(make_record(image, mask=False), class_num=-4)
