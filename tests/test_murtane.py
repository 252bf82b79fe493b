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


def polygon(box):
    x0, y0, x1, y1 = box
    return [x0, y0, x1, y0, x1, y1, x0, y1]


def make_record(image, classes=(1, 2, 3), rows=4, mask_dtype=np.uint8):
    mask = np.zeros(image.shape[:2], mask_dtype)
    for c in classes:
        x0, y0, x1, y1 = BOXES[c - 1]
        mask[y0:y1 + 1, x0:x1 + 1] = c
    keypoints = np.array([polygon(BOXES[i % 4]) for i in range(rows)], np.int32).reshape(rows, 8)
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


def walk_model(rows, class_num):
    """Original rows removed by the walk over sorted, distinct, non-negative indices."""
    n, removed = rows, []
    for p, c in enumerate(sorted({c for c in class_num if c >= 0})):
        if c - p < n:
            removed.append(c)
            n -= 1
    return removed


def expected_image(image, regions, fill_type):
    out = image
    for region in regions:
        out = fill_in(out, region, fill_type)
    return out


@pytest.mark.parametrize("rows, class_num, removed", [
    (4, [3, 1], [1, 3]),          # sorted to [1, 3]; 3 - 1 names the former row 3
    (2, [1, 5], [1]),             # 5 - 1 is not below the one row left
    (4, (3, 3), [3]),             # a repeated index counts once
    (4, [2, 2, -1, 0], [0, 2]),   # negatives dropped before the walk
    (4, [-3, -1], []),
    (3, [0, 1, 2, 3], [0, 1, 2]),
    (5, [4, 0, 9, 2], [0, 2, 4]),
])
def test_polygon_walk(image, spies, rows, class_num, removed):
    fill, kp = spies
    data = make_record(image, rows=rows)
    del data["mask"]
    kps = data["keypoints"].copy()
    out = murtane(data, class_num=class_num, fill_type=5)
    assert out is data
    assert removed == walk_model(rows, class_num)
    assert [args[1] for args, _ in kp.calls] == removed
    assert all(kw == {"one_class_only": True} for _, kw in kp.calls)
    np.testing.assert_array_equal(out["keypoints"], np.delete(kps, removed, 0))
    assert (out["image"] is image) == (not removed)
    regions = [kp2mask({"image": image, "keypoints": kps}, c) for c in removed]
    np.testing.assert_array_equal(out["image"], expected_image(image, regions, 5))
    assert len(fill.calls) == len(removed)


@pytest.mark.parametrize("seed", range(6))
def test_polygon_walk_matches_model_on_random_lists(image, spies, seed):
    rng = random.Random(seed)
    rows = rng.randint(1, 7)
    class_num = [rng.randint(-2, 9) for _ in range(rng.randint(1, 6))]
    data = make_record(image, rows=rows)
    del data["mask"]
    kps = data["keypoints"].copy()
    out = murtane(data, class_num=class_num, fill_type=0)
    removed = walk_model(rows, class_num)
    assert [args[1] for args, _ in spies[1].calls] == removed
    np.testing.assert_array_equal(out["keypoints"], np.delete(kps, removed, 0))


@pytest.mark.parametrize("class_num, painted", [
    ((3, 3), [3]),          # the second 3 no longer occurs
    ([9, 2], [2]),          # absent class skipped without a fill
    ([2, 1, 3], [2, 1, 3]),
    ((2.0, 2.5, 300), [2]),  # equal values match; 2.5 and 300 never occur in uint8
])
def test_mask_classes_in_order_and_skips(image, spies, class_num, painted):
    fill, _ = spies
    data = make_record(image)
    del data["keypoints"]
    mask = data["mask"]
    before = mask.copy()
    out = murtane(data, class_num=class_num, fill_type=DELETED_FILL_MEAN)
    assert out["mask"] is mask
    regions = [args[1] for args, _ in fill.calls]
    assert len(regions) == len(painted)
    for region, c in zip(regions, painted):
        assert region.dtype == mask.dtype and region.shape == mask.shape
        np.testing.assert_array_equal(region, (before == c).astype(np.uint8))
    expected_mask = before.copy()
    expected_mask[np.isin(before, painted)] = 0
    np.testing.assert_array_equal(mask, expected_mask)
    np.testing.assert_array_equal(out["image"], expected_image(image, regions, DELETED_FILL_MEAN))


@pytest.mark.parametrize("dtype, bg", [(np.uint8, 7), (np.int16, -4), (np.uint16, 60000), (np.int32, 5),
                                       (np.int64, 9), (np.float32, 0.5), (np.float64, -1.0), (np.int8, 3.9)])
def test_mask_element_types_and_background(image, spies, dtype, bg):
    data = make_record(image, mask_dtype=dtype)
    del data["keypoints"]
    mask = data["mask"]
    mask[mask == 0] = dtype(bg)
    mask[:, 0], mask[-1, :], mask[0, -1] = 1, 3, 2  # classes on the borders too
    before = mask.copy()
    murtane(data, class_num=[1, 3], bg_mask=bg)
    region = spies[0].calls[0][0][1]
    assert region.dtype == np.dtype(dtype)
    expected = before.copy()
    expected[np.isin(before, [1, 3])] = dtype(bg)
    np.testing.assert_array_equal(mask, expected)


def test_strided_mask_is_changed_in_place_and_only_there(image):
    base = np.full((60, 160), 2, np.uint8)
    mask = base[:, ::2]
    data = {"image": image, "mask": mask}
    murtane(data, class_num=[2], fill_type=1)
    assert data["mask"] is mask
    assert (base[:, ::2] == 0).all() and (base[:, 1::2] == 2).all()


@pytest.mark.parametrize("seed", [0, 3, 11])
@pytest.mark.parametrize("labels", ["mask", "keypoints", "both"])
def test_draws_replayed_with_random_fill(image, seed, labels):
    data = make_record(image)
    mask_before, kps = data["mask"].copy(), data["keypoints"].copy()
    if labels == "mask":
        del data["keypoints"]
    if labels == "keypoints":
        del data["mask"]
    chosen = {}

    def mask_draws(r):
        k = r.randint(1, 3)
        chosen["mask"] = r.sample([1, 2, 3], k)
        for _ in chosen["mask"]:
            r.getrandbits(64)

    def keypoint_draws(r):
        k = r.randint(1, 4)
        chosen["rows"] = sorted(r.sample(range(4), k))
        for _ in chosen["rows"]:
            r.getrandbits(64)

    draws = [lambda r: r.random()]
    draws += [mask_draws] if labels != "keypoints" else []
    draws += [keypoint_draws] if labels != "mask" else []
    expected_state = replay(seed, draws)
    random.seed(seed)
    out = murtane(data, fill_type=DELETED_FILL_RANDOM)
    assert random.getstate() == expected_state
    if labels != "keypoints":
        assert set(np.unique(out["mask"])) == {0} | ({1, 2, 3} - set(chosen["mask"]))
    if labels != "mask":
        np.testing.assert_array_equal(out["keypoints"], np.delete(kps, chosen["rows"], 0))

    # Same seed, the same fills replayed by hand through fill_in.
    random.seed(seed)
    random.random()
    regions = []
    if labels != "keypoints":
        r = random.randint(1, 3)
        regions += [(mask_before == c).astype(np.uint8) for c in random.sample([1, 2, 3], r)]
    expected = image
    for region in regions:
        expected = fill_in(expected, region, DELETED_FILL_RANDOM)
    if labels != "mask":
        k = random.randint(1, 4)
        for c in sorted(random.sample(range(4), k)):
            expected = fill_in(expected, kp2mask({"image": image, "keypoints": kps}, c), DELETED_FILL_RANDOM)
    np.testing.assert_array_equal(out["image"], expected)


@pytest.mark.parametrize("class_num, k", [(2, 2), (np.int64(1), 1), (True, 1), (0, 0), (7, None)])
def test_integer_count(image, class_num, k):
    data = make_record(image)
    del data["keypoints"]
    random.seed(5)
    murtane(data, class_num=class_num)
    draws = [lambda r: r.random()] + ([lambda r: r.sample([1, 2, 3], k)] if k is not None else [])
    assert random.getstate() == replay(5, draws)
    remaining = set(np.unique(data["mask"])) - {0}
    assert len(remaining) == (3 - k if k is not None else 0)


@pytest.mark.parametrize("fill_type", [DELETED_FILL_MEAN, 9, np.int32(200), np.uint8(3)])
def test_fill_types_reach_fill_in(image, spies, fill_type):
    data = make_record(image)
    out = murtane(data, class_num=[1], fill_type=fill_type)
    assert [args[2] for args, _ in spies[0].calls] == [fill_type, fill_type]
    inside = make_record(image)["mask"] == 1
    if not isinstance(fill_type, str):
        assert (out["image"][inside] == int(fill_type)).all()
    np.testing.assert_array_equal(out["image"][~inside & (kp2mask(make_record(image), 1) == 0)],
                                  image[~inside & (kp2mask(make_record(image), 1) == 0)])


def test_default_fill_is_mean(image, spies):
    murtane(make_record(image), class_num=[2])
    assert spies[0].calls[0][0][2] == DELETED_FILL_MEAN


def test_both_labels_fill_both_and_leave_inputs(image):
    data = make_record(image)
    kps = data["keypoints"]
    kps_before, image_before = kps.copy(), image.copy()
    out = murtane(data, class_num=[2], fill_type=0)
    assert (out["image"][make_record(image)["mask"] == 2] == 0).all()
    assert (out["image"][kp2mask(make_record(image), 2) == 1] == 0).all()
    np.testing.assert_array_equal(kps, kps_before)
    np.testing.assert_array_equal(image, image_before)
    np.testing.assert_array_equal(out["keypoints"], np.delete(kps_before, 2, 0))


def test_only_background_leaves_image(image, spies):
    data = {"image": image, "mask": np.zeros((60, 80), np.uint8)}
    out = murtane(data)
    assert out["image"] is image and not spies[0].calls


def test_gate_skips_but_image_is_read(image):
    data = make_record(image)
    random.seed(2)
    assert murtane(data, prob=0) is data and data["image"] is image
    assert random.getstate() == replay(2, [lambda r: r.random()])
    with pytest.raises(KeyError):
        murtane({"mask": data["mask"]}, prob=0)


@pytest.mark.parametrize("class_num", [2.5, "1", [], (), (0,), [1, 0], np.float32(1), np.bool_(True), {1}])
def test_wrong_class_num(image, class_num):
    with pytest.raises(Exception) as err:
        murtane(make_record(image), class_num=class_num)
    assert type(err.value) is Exception and str(err.value) == MESSAGE


def test_background_in_list_is_fine_without_mask(image):
    data = make_record(image)
    del data["mask"]
    murtane(data, class_num=(0,))
    assert len(data["keypoints"]) == 3


def test_no_label(image):
    with pytest.raises(Exception) as err:
        murtane({"image": image})
    assert str(err.value) == "No type of label is found, it should either be keypoints, mask or both"


def test_negative_count_fails_in_draw(image):
    with pytest.raises(ValueError):
        murtane(make_record(image), class_num=-1)


@pytest.mark.parametrize("key, value, error", [
    ("mask", np.zeros((60, 81), np.uint8), ValueError),
    ("mask", np.zeros((60, 80, 1), np.uint8), ValueError),
    ("mask", [[0, 1]], TypeError),
    ("mask", np.zeros((60, 80), np.complex64), TypeError),
    ("keypoints", np.zeros((2, 7), np.int32), ValueError),
    ("keypoints", np.zeros(8, np.int32), ValueError),
    ("keypoints", np.zeros((2, 8), object), TypeError),
    ("image", [[1, 2]], TypeError),
])
def test_bad_input(image, key, value, error):
    data = make_record(image)
    data[key] = value
    with pytest.raises(error):
        murtane(data, class_num=[1])


def test_read_only_mask_and_bad_background(image):
    data = make_record(image)
    data["mask"].flags.writeable = False
    with pytest.raises(ValueError):
        murtane(data, class_num=[1])
    for bg, error in [(256, ValueError), ("x", TypeError)]:
        data = make_record(image)
        with pytest.raises(error):
            murtane(data, class_num=[1], bg_mask=bg)
        assert (data["mask"] == 1).any()


def test_non_integer_row_index(image):
    data = make_record(image)
    del data["mask"]
    with pytest.raises(IndexError):
        murtane(data, class_num=[1.5])
