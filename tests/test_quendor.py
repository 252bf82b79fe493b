import math
import random

import numpy as np
import pytest

from conftest import replay
from kiro.core.quendor import quendor
from kiro.utils.mask2bbox import mask2bbox
from kiro.utils.quarnet import quarnet

NO_LABEL = "No type of label is found, it should either be keypoints, mask or both"
NO_ANGLE = "No angle found."
BOUNDARY = "Wrong angle boundary."
ANGLE_TYPE = "Wrong data type of angle, it should be a integer in (0,45) or a (min,max) tuple/list."


def rotation(w, h, degrees):
    """Rotation about (w/2, h/2), positive counter-clockwise on screen."""
    t = degrees * (math.pi / 180)
    a, b = math.cos(t), math.sin(t)
    cx, cy = w / 2, h / 2
    return np.array([[a, b, (1 - a) * cx - b * cy], [-b, a, b * cx + (1 - a) * cy]])


def turned(points, w, h, degrees):
    M = rotation(w, h, degrees)
    p = np.asarray(points, np.float64).reshape(-1, 2)
    x = np.clip(M[0, 0] * p[:, 0] + M[0, 1] * p[:, 1] + M[0, 2], 0, w)
    y = np.clip(M[1, 0] * p[:, 0] + M[1, 1] * p[:, 1] + M[1, 2], 0, h)
    return np.stack([x, y], 1).astype(np.int32).reshape(np.shape(points))


def source_coords(w, h, degrees):
    """Source position of every output pixel (the inverse map)."""
    M = rotation(w, h, degrees)
    inv = np.linalg.inv(np.vstack([M, [0, 0, 1]]))[:2]
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float64)
    return inv[0, 0] * xx + inv[0, 1] * yy + inv[0, 2], inv[1, 0] * xx + inv[1, 1] * yy + inv[1, 2]


def nearest_reference(mask, degrees, bg):
    h, w = mask.shape
    sx, sy = source_coords(w, h, degrees)
    ix, iy = np.floor(sx + 0.5).astype(int), np.floor(sy + 0.5).astype(int)
    inside = (ix >= 0) & (ix < w) & (iy >= 0) & (iy < h)
    out = np.full(mask.shape, bg, mask.dtype)
    out[inside] = mask[iy[inside], ix[inside]]
    sure = (np.abs(sx - np.round(sx) - 0.5) > 0.01) & (np.abs(sx - np.round(sx) + 0.5) > 0.01) & \
           (np.abs(sy - np.round(sy) - 0.5) > 0.01) & (np.abs(sy - np.round(sy) + 0.5) > 0.01)
    return out, sure


def sample(h=60, w=80):
    yy, xx = np.mgrid[0:h, 0:w]
    image = np.stack([xx * 2, yy * 3, (xx + yy)], 2).astype(np.uint8)
    mask = np.zeros((h, w), np.uint8)
    mask[:, w // 2:] = 2
    mask[10:25, 10:30] = 3
    keypoints = np.array([[10, 10, 29, 10, 29, 24, 10, 24], [0, 0, w, 0, w, h, 0, h]], np.int32)
    return {"image": image, "mask": mask, "keypoints": keypoints}


@pytest.mark.parametrize("angle,degrees", [(60, 45), (-90, -45), (10 ** 30, 45), (True, 1), (False, 0),
                                           (np.int64(60), 45), (np.uint8(7), 7), (-3, -3)])
def test_integer_angles_clipped(angle, degrees):
    rec = sample(61, 81)
    points = rec["keypoints"].copy()
    quendor(rec, angle, prob=1)
    np.testing.assert_array_equal(rec["keypoints"], turned(points, 81, 61, degrees))
    assert random.getstate() == replay(1234, [lambda r: r.random()])


@pytest.mark.parametrize("angle,bounds", [((-90, 90), (-45, 45)), ((10, 10), (10, 10)), ([5, 30], (5, 30)),
                                          ((3, 8, 99), (3, 8)), ((np.int32(-50), 2), (-45, 2))])
@pytest.mark.parametrize("seed", [0, 5])
def test_range_angles_drawn(angle, bounds, seed):
    random.seed(seed)
    rec = sample()
    points = rec["keypoints"].copy()
    quendor(rec, angle, prob=1)
    r = random.Random(seed)
    r.random()
    degrees = r.randint(*bounds)
    assert random.getstate() == r.getstate()
    np.testing.assert_array_equal(rec["keypoints"], turned(points, 80, 60, degrees))


@pytest.mark.parametrize("angle,message", [((15, 10), BOUNDARY), ((5,), BOUNDARY), ([], BOUNDARY),
                                           (10.0, ANGLE_TYPE), ("10", ANGLE_TYPE), (np.float32(10), ANGLE_TYPE),
                                           (np.bool_(True), ANGLE_TYPE), (None, NO_ANGLE)])
def test_angle_errors_leave_the_record(angle, message):
    rec = sample()
    before = dict(rec)
    with pytest.raises(Exception) as info:
        quendor(rec, angle, prob=1)
    assert type(info.value) is Exception and str(info.value) == message
    assert rec.keys() == before.keys() and all(rec[k] is before[k] for k in before)


@pytest.mark.parametrize("angle", [(50, 60), (1.5, 3)])
def test_range_without_integers_fails_in_the_draw(angle):
    with pytest.raises((ValueError, TypeError)):
        quendor(sample(), angle, prob=1)


@pytest.mark.parametrize("use_bbox", [False, 0, "", None])
def test_gate_fail_returns_record_untouched(use_bbox):
    rec = sample()
    before = dict(rec)
    assert quendor(rec, None, prob=-1, use_bbox=use_bbox) is rec
    assert rec.keys() == before.keys() and all(rec[k] is before[k] for k in before)
    assert random.getstate() == replay(1234, [lambda r: r.random()])


@pytest.mark.parametrize("keys", [("mask",), ("keypoints",), ("mask", "keypoints")])
@pytest.mark.parametrize("prob", [-1, 1])
def test_boxes(keys, prob):
    rec = {k: v for k, v in sample().items() if k in keys or k == "image"}
    quendor(rec, "not examined" if prob < 0 else 20, prob=prob, bg_mask=0, use_bbox=True)
    if "keypoints" in keys:
        np.testing.assert_array_equal(rec["bbox"], quarnet(rec["keypoints"]))
        np.testing.assert_array_equal(rec["bbox_index"], np.arange(len(rec["keypoints"])))
    else:
        boxes, index = mask2bbox(rec, 0)
        np.testing.assert_array_equal(rec["bbox"], boxes)
        np.testing.assert_array_equal(rec["bbox_index"], index)


@pytest.mark.parametrize("degrees", [10, 33, -45, 1])
@pytest.mark.parametrize("bg", [0, 7, 255])
def test_mask_nearest_with_background_corners(degrees, bg):
    rec = sample()
    rec["mask"][rec["mask"] == 0] = bg
    source, copies = rec["mask"].copy(), {k: v.copy() for k, v in rec.items()}
    given = dict(rec)
    quendor(rec, degrees, prob=1, bg_mask=bg)
    for k in given:   # new arrays stored, the caller's left as they were
        assert rec[k] is not given[k]
        np.testing.assert_array_equal(given[k], copies[k])
    out = rec["mask"]
    assert out.dtype == np.uint8
    assert set(np.unique(out)) <= set(np.unique(source)) | {bg}
    assert out[0, 0] == bg and out[-1, -1] == bg  # uncovered corners
    expected, sure = nearest_reference(source, degrees, bg)
    np.testing.assert_array_equal(out[sure], expected[sure])
    assert sure.mean() > 0.9
    np.testing.assert_array_equal(rec["image"][0, 0], 0)  # the image keeps a black border


@pytest.mark.parametrize("dtype,table,bg", [
    (np.uint16, (0, 300, 65535, 2), 9),
    (np.int32, (-1, 70000, 3, -2 ** 31), -5),
    (np.int64, (0, 2 ** 40 + 1, -(2 ** 50), 3), 2 ** 33 + 7),
    (np.float64, (0.5, 1.25, -3.0, 8.0), -0.75),
    (np.int8, (-128, 127, 0, 5), -7),
])
def test_mask_types_warp_alike(dtype, table, bg):
    rec = sample()
    codes = rec["mask"].copy()
    lut = np.array(table, dtype)
    wide = dict(rec, mask=lut[codes])
    quendor(rec, 25, prob=1, bg_mask=200)
    quendor(wide, 25, prob=1, bg_mask=bg)
    assert wide["mask"].dtype == dtype
    expected = np.where(rec["mask"] == 200, np.array(bg, dtype), lut[np.minimum(rec["mask"], 3)])
    np.testing.assert_array_equal(wide["mask"], expected)


@pytest.mark.parametrize("shape,dtype", [((60, 80, 3), np.uint8), ((61, 81, 1), np.uint8),
                                         ((60, 80, 4), np.uint16), ((50, 70, 3), np.float32)])
def test_image_bilinear(shape, dtype):
    h, w, c = shape
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float64)
    planes = [xx * 1.5 + k * 10 + yy for k in range(c)]
    image = np.stack(planes, 2).astype(dtype)
    rec = {"image": image, "keypoints": np.zeros((0, 8), np.int32)}
    quendor(rec, 17, prob=1)
    out = rec["image"]
    assert out.shape == shape and out.dtype == dtype
    sx, sy = source_coords(w, h, 17)
    inner = (sx >= 0) & (sx <= w - 1) & (sy >= 0) & (sy <= h - 1)
    for k in range(c):
        ideal = sx * 1.5 + k * 10 + sy   # bilinear is exact on a linear ramp
        assert np.abs(out[..., k][inner] - ideal[inner]).max() <= 1.5
    assert (out[~((sx > -1) & (sx < w) & (sy > -1) & (sy < h))] == 0).all()
    assert rec["keypoints"].shape == (0, 8) and rec["keypoints"].dtype == np.int32


@pytest.mark.parametrize("points", [
    np.array([[-30.7, 5.2, 79.9, 0.0, 200.0, 59.5, 40.0, 30.0]]),
    np.array([[0, 0, 80, 0, 80, 60, 0, 60], [80, 30, 40, -100, 500, 500, -5, 61]], np.int64),
    np.array([10, 20, 80, 0], np.uint16),
    np.arange(24, dtype=np.float32).reshape(2, 3, 4) * 5,
])
@pytest.mark.parametrize("degrees", [30, -30, 45])
def test_keypoints_turned_clipped_int32(points, degrees):
    given = points.copy()
    rec = {"image": np.zeros((60, 80, 3), np.uint8), "keypoints": points}
    quendor(rec, degrees, prob=1)
    out = rec["keypoints"]
    assert out.dtype == np.int32 and out.shape == points.shape
    np.testing.assert_array_equal(out, turned(given, 80, 60, degrees))
    assert out[..., 0::2].max() <= 80 and out[..., 1::2].max() <= 60 and out.min() >= 0
    np.testing.assert_array_equal(points, given)


@pytest.mark.parametrize("corner,degrees", [((80, 60), 20), ((80, 0), -20), ((79, 59), 10)])
def test_right_edge_point_clipped_to_width(corner, degrees):
    rec = {"image": np.zeros((60, 80, 3), np.uint8), "keypoints": np.array([corner], np.int32)}
    quendor(rec, degrees, prob=1)   # the corner turns out on the right
    assert rec["keypoints"][0, 0] == 80


@pytest.mark.parametrize("change,error", [
    (lambda r: r.update(image=r["image"][:, :, 0]), ValueError),
    (lambda r: r.update(mask=r["mask"][:, 1:]), ValueError),
    (lambda r: r.update(mask=r["mask"][:, :, None]), ValueError),
    (lambda r: r.update(mask=r["mask"].tolist()), TypeError),
    (lambda r: r.update(mask=r["mask"].astype(np.complex64)), TypeError),
    (lambda r: r.update(keypoints=r["keypoints"][:, :7]), ValueError),
    (lambda r: r.update(keypoints=r["keypoints"].tolist()), TypeError),
    (lambda r: r.update(keypoints=np.full((1, 4), np.nan)), ValueError),
    (lambda r: r.update(image=np.zeros((0, 80, 3), np.uint8)), ValueError),
    (lambda r: r.update(image=r["image"].astype(np.int32)), TypeError),
])
def test_bad_input_changes_nothing(change, error):
    rec = sample()
    change(rec)
    before = dict(rec)
    with pytest.raises(error):
        quendor(rec, 10, prob=1, use_bbox=True)
    assert rec.keys() == before.keys() and all(rec[k] is before[k] for k in before)


@pytest.mark.parametrize("bg", [300, 0.5, -1, "0"])
def test_background_the_mask_cannot_hold(bg):
    with pytest.raises(TypeError if isinstance(bg, str) else ValueError):
        quendor(sample(), 10, prob=1, bg_mask=bg)


def test_no_label_checked_before_gate():
    with pytest.raises(Exception) as info:
        quendor({"image": np.zeros((4, 4, 3), np.uint8)}, 10, prob=-1)
    assert type(info.value) is Exception and str(info.value) == NO_LABEL
    assert random.getstate() == replay(1234, [])
