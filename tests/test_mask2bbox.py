from collections import deque

import numpy as np
import pytest

from kiro.utils.mask2bbox import mask2bbox


def reference(mask, bg):
    """Flood fill over the 8 neighbours; pieces per class in row-major order of their first pixel."""
    h, w = mask.shape
    seen = np.zeros((h, w), bool)
    found = []
    for r in range(h):
        for c in range(w):
            v = mask[r, c]
            if seen[r, c] or v == bg:
                continue
            seen[r, c] = True
            queue, box = deque([(r, c)]), [c, r, c, r]
            while queue:
                y, x = queue.popleft()
                box = [min(box[0], x), min(box[1], y), max(box[2], x), max(box[3], y)]
                for dy in (-1, 0, 1):
                    for dx in (-1, 0, 1):
                        yy, xx = y + dy, x + dx
                        if 0 <= yy < h and 0 <= xx < w and not seen[yy, xx] and mask[yy, xx] == v:
                            seen[yy, xx] = True
                            queue.append((yy, xx))
            found.append((v, r * w + c, box))
    found.sort(key=lambda t: (t[0], t[1]))
    return [f[2] for f in found], [f[0] for f in found]


@pytest.mark.parametrize("dtype", [bool, np.uint8, np.int8, np.uint16, np.int32, np.uint64, np.int64,
                                   np.float32, np.float64])
@pytest.mark.parametrize("seed", [0, 1, 2, 3])
def test_random_masks_match_flood_fill(dtype, seed):
    rng = np.random.RandomState(seed)
    values = [0, 1] if dtype is bool else [0, 0, 0, 1, 3, 7]
    mask = rng.choice(values, size=(46, 31)).astype(dtype)[::-2]  # a strided, reversed view
    boxes, classes = mask2bbox({"mask": mask, "image": np.zeros((23, 31, 3), np.uint8)})
    exp_boxes, exp_classes = reference(mask, 0)
    assert boxes.dtype == np.int32 and boxes.shape == (len(exp_boxes), 4)
    assert classes.dtype == mask.dtype
    np.testing.assert_array_equal(boxes, np.array(exp_boxes, np.int32).reshape(-1, 4))
    np.testing.assert_array_equal(classes, np.array(exp_classes, mask.dtype))


@pytest.mark.parametrize("bg", [0, 2, np.uint8(3), 3.0])
def test_background_value(bg):
    rng = np.random.RandomState(9)
    mask = rng.randint(0, 4, (15, 17)).astype(np.uint8)
    boxes, classes = mask2bbox({"mask": mask}, bg)
    exp_boxes, exp_classes = reference(mask, int(bg))
    np.testing.assert_array_equal(boxes, np.array(exp_boxes).reshape(-1, 4))
    np.testing.assert_array_equal(classes, exp_classes)
    assert int(bg) not in classes.tolist()


@pytest.mark.parametrize("bg", [-1, 256, 0.5, float("nan")])
def test_background_no_pixel_can_match(bg):
    mask = np.zeros((4, 5), np.uint8)
    mask[1, 1] = 1
    boxes, classes = mask2bbox({"mask": mask}, bg)
    np.testing.assert_array_equal(boxes, [[0, 0, 4, 3], [1, 1, 1, 1]])
    np.testing.assert_array_equal(classes, [0, 1])


def pixels(shape, value, points):
    m = np.zeros(shape, np.uint8)
    for p in points:
        m[p] = value
    return m


U = pixels((5, 7), 1, [(slice(0, 4), 1), (slice(0, 4), 5), (4, slice(1, 6))])
HALVES = pixels((8, 8), 2, [(slice(None), slice(0, 4))]) + pixels((8, 8), 1, [(slice(None), slice(4, 8))])


@pytest.mark.parametrize("mask, boxes, classes", [
    (pixels((6, 6), 5, [(1, 1), (2, 2), (3, 1), (5, 5)]), [[1, 1, 2, 3], [5, 5, 5, 5]], [5, 5]),  # corners join
    (U, [[1, 0, 5, 4]], [1]),                                # two arms merge late
    (HALVES, [[4, 0, 7, 7], [0, 0, 3, 7]], [1, 2]),          # touching classes stay apart
])
def test_shapes(mask, boxes, classes):
    got_boxes, got_classes = mask2bbox(mask)
    np.testing.assert_array_equal(got_boxes, boxes)
    np.testing.assert_array_equal(got_classes, classes)


def test_record_fixture_and_inputs_untouched(record):
    before = record["mask"].copy()
    boxes, classes = mask2bbox(record, bg_mask=0)
    np.testing.assert_array_equal(boxes, [[30, 10, 49, 19], [5, 35, 19, 49]])
    np.testing.assert_array_equal(classes, [1, 2])
    np.testing.assert_array_equal(record["mask"], before)


@pytest.mark.parametrize("mask", [np.zeros((0, 0), np.uint8), np.zeros((3, 0), np.uint8),
                                  np.zeros((4, 4), np.uint8)])
def test_no_objects(mask):
    boxes, classes = mask2bbox(mask)
    assert boxes.shape == (0, 4) and boxes.dtype == np.int32
    assert classes.shape == (0,) and classes.dtype == np.uint8


@pytest.mark.parametrize("data, bg, exc", [
    ({"image": np.zeros((3, 3))}, 0, KeyError),
    ({"mask": np.zeros((3, 3, 1), np.uint8)}, 0, ValueError),
    ({"mask": np.zeros(3, np.uint8)}, 0, ValueError),
    ({"mask": [[0, 1]]}, 0, TypeError),
    ({"mask": np.zeros((2, 2), complex)}, 0, TypeError),
    ({"mask": np.array([[0, np.nan]])}, 0, ValueError),
    ({"mask": np.zeros((2, 2), np.uint8)}, "0", TypeError),
    ({"mask": np.zeros((2, 2), np.uint8)}, None, TypeError),
])
def test_bad_input(data, bg, exc):
    with pytest.raises(exc):
        mask2bbox(data, bg)
