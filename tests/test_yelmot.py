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


def make_record(image, rows=3, mask=True, keypoints=True):
    data = {"image": image}
    if mask:
        data["mask"] = np.zeros(image.shape[:2], np.uint8)
        for c, (x0, y0, x1, y1) in enumerate(BOXES[:3], 1):
            data["mask"][y0:y1 + 1, x0:x1 + 1] = c
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
    out = yelmot(data, class_num=class_num)
    assert random.getstate() == replay(4, [lambda r: r.random()])
    assert out is data and out["mask"] is mask
    regions = [] if mask_class is None else [(mask_before == mask_class).astype(np.uint8)]
    if row is not None:
        regions.append(polygon_region(image, kps_before, row))
    assert [(args[1], kw) for args, kw in kp.calls] == ([] if row is None else [(row, {"one_class_only": True})])
    assert len(fill.calls) == len(regions)
    expected = image
    for (args, _), region in zip(fill.calls, regions):
        np.testing.assert_array_equal(args[1], region)
        assert args[2] == DELETED_FILL_MEAN
        expected = fill_in(expected, region, DELETED_FILL_MEAN)
    np.testing.assert_array_equal(out["image"], expected)
    np.testing.assert_array_equal(mask, mask_before if mask_class is None else
                                  np.where(mask_before == mask_class, 0, mask_before))
    np.testing.assert_array_equal(out["keypoints"], kps_before if row is None else np.delete(kps_before, row, 0))
    np.testing.assert_array_equal(kps, kps_before)


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("labels", ["mask", "keypoints", "both"])
def test_random_choice_replayed(image, seed, labels):
    picked = {}

    def choose(r):
        c = picked["c"] = r.choice([1, 2, 3]) if labels != "keypoints" else r.randint(0, 2)
        r.getrandbits(64)  # the first fill
        if labels == "both" and c < 3:
            r.getrandbits(64)  # the polygon of the same index

    images = []
    for _ in range(2):
        random.seed(seed)
        out = yelmot(make_record(image, mask=labels != "keypoints", keypoints=labels != "mask"),
                     fill_type=DELETED_FILL_RANDOM)
        assert random.getstate() == replay(seed, [lambda r: r.random(), choose])
        images.append(out["image"])
    np.testing.assert_array_equal(images[0], images[1])
    if labels != "keypoints":
        assert set(np.unique(out["mask"])) == {0, 1, 2, 3} - {picked["c"]}
    if labels != "mask":
        kept = [i for i in range(3) if i != picked["c"]]
        np.testing.assert_array_equal(out["keypoints"], make_record(image)["keypoints"][kept])


@pytest.mark.parametrize("class_num, chosen", [
    ((2, 2, 9), lambda r: r.choice((2, 2, 9))),
    ([3, 1], lambda r: r.choice([3, 1])),
    ("a", lambda r: r.choice([1, 2, 3])),            # anything else means none
    (np.float32(2), lambda r: r.choice([1, 2, 3])),
    (np.bool_(True), lambda r: r.choice([1, 2, 3])),
    ({2}, lambda r: r.choice([1, 2, 3])),
])
def test_class_from_sequence_or_none(image, class_num, chosen):
    data = make_record(image, rows=5)
    random.seed(8)
    yelmot(data, class_num=class_num, fill_type=0)
    r = random.Random(8)
    r.random()
    c = chosen(r)
    assert random.getstate() == r.getstate()
    assert set(np.unique(data["mask"])) == {0, 1, 2, 3} - {c}
    assert len(data["keypoints"]) == (4 if c < 5 else 5)


@pytest.mark.parametrize("data_kind", ["background only", "empty keypoints"])
def test_nothing_to_delete(image, spies, data_kind):
    if data_kind == "background only":
        data = {"image": image, "mask": np.zeros((60, 80), np.uint8)}
    else:
        data = {"image": image, "keypoints": np.zeros((0, 8), np.int32)}
    before = dict(data)
    random.seed(1)
    assert yelmot(data) is data and all(data[k] is before[k] for k in before)
    assert random.getstate() == replay(1, [lambda r: r.random()])
    assert not spies[0].calls


@pytest.mark.parametrize("fill_type", [DELETED_FILL_RANDOM, 17, np.int64(250)])
def test_both_labels_carry_both_fills(image, spies, fill_type):
    out = yelmot(make_record(image), class_num=1, fill_type=fill_type)
    assert [args[2] for args, _ in spies[0].calls] == [fill_type, fill_type]
    ref = make_record(image)
    painted = (ref["mask"] == 1) | (polygon_region(image, ref["keypoints"], 1) == 1)
    if not isinstance(fill_type, str):
        assert (out["image"][painted] == fill_type).all()
    np.testing.assert_array_equal(out["image"][~painted], image[~painted])


@pytest.mark.parametrize("class_num, has_mask", [([], True), ((), False), ((0, 1), True), ([1, 0.0], True)])
def test_wrong_class_num(image, class_num, has_mask):
    with pytest.raises(Exception) as err:
        yelmot(make_record(image, mask=has_mask), class_num=class_num)
    assert type(err.value) is Exception and str(err.value) == MESSAGE


def test_gate_labels_and_background_in_list(image):
    data = make_record(image)
    assert yelmot(data, prob=0.0) is data and data["image"] is image
    with pytest.raises(KeyError):
        yelmot({"keypoints": data["keypoints"]}, prob=0.0)
    with pytest.raises(Exception, match="^No type of label is found, it should either be keypoints, mask or both$"):
        yelmot({"image": image})
    data = make_record(image, mask=False)
    yelmot(data, class_num=(0,))
    assert len(data["keypoints"]) == 2


@pytest.mark.parametrize("change, class_num, error", [
    ({"mask": np.zeros((61, 80), np.uint8)}, 1, ValueError),
    ({"mask": np.zeros((60,), np.uint8)}, 1, ValueError),
    ({"mask": "mask"}, 1, TypeError),
    ({"keypoints": np.zeros((3, 5), np.int32)}, 1, ValueError),
    ({"keypoints": [[1, 2, 3, 4]]}, 1, TypeError),
    ({"image": None}, 1, TypeError),
    ({}, 2.0, IndexError),   # a real row index below the number of rows
    ({}, -4, IndexError),
])
def test_bad_input(image, change, class_num, error):
    data = dict(make_record(image), **change)
    with pytest.raises(error):
        yelmot(data, class_num=class_num)
