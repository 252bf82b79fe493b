import numpy as np
import pytest

from kiro.utils.faltor import faltor


def reference(mask, padding):
    """Plain NumPy formulation of the crop box."""
    h, w = mask.shape
    rows, cols = np.nonzero(mask.any(axis=1))[0], np.nonzero(mask.any(axis=0))[0]
    up, left = max(rows[0] - padding, 0), max(cols[0] - padding, 0)
    down, right = min(rows[-1] + 1 + padding, h), min(cols[-1] + 1 + padding, w)
    return [int(up), int(left), int(down - up), int(right - left)]


def block(value=1, dtype=np.uint8):
    m = np.zeros((10, 10), dtype)
    m[2:5, 3:7] = value
    return m


@pytest.mark.parametrize("mask, padding, box", [
    (block(), 2, [0, 1, 7, 8]),
    (block(), 0, [2, 3, 3, 4]),
    (block(), 1, [1, 2, 5, 6]),
    (block(), 2 ** 70, [0, 0, 10, 10]),
    (block(), np.int32(2), [0, 1, 7, 8]),
    (block()[::-1, ::-1], 0, [5, 3, 3, 4]),
    (np.kron(block(), np.ones((2, 3), np.uint8))[::2, ::3], 2, [0, 1, 7, 8]),
    (np.eye(10, dtype=np.uint8)[::-1] * np.eye(10, dtype=np.uint8)[::-1], 1, [0, 0, 10, 10]),
    (np.pad([[7]], ((9, 0), (9, 0))).astype(np.uint16), 0, [9, 9, 1, 1]),  # single pixel, corner
    (np.pad([[7]], ((9, 0), (9, 0))).astype(np.uint16), 1, [8, 8, 2, 2]),
])
def test_boxes_and_views(mask, padding, box):
    image = np.arange(10 * 10 * 3).reshape(10, 10, 3)[:, ::-1]
    crop, got = faltor(image, mask, padding)
    assert got == box and all(type(v) is int for v in got)
    up, left, h, w = box
    np.testing.assert_array_equal(crop, image[up:up + h, left:left + w])
    assert np.shares_memory(crop, image)


@pytest.mark.parametrize("dtype", [bool, np.uint8, np.int8, np.uint16, np.int16, np.uint32,
                                   np.int32, np.uint64, np.int64, np.float32, np.float64])
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_random_masks_match_reference(dtype, seed):
    rng = np.random.RandomState(seed)
    mask = np.zeros((37, 53), dtype)
    mask[rng.randint(0, 37, 4), rng.randint(0, 53, 4)] = 1
    padding = int(rng.randint(0, 6))
    image = rng.randint(0, 255, (37, 53)).astype(np.uint8)
    before = (image.copy(), mask.copy())
    crop, box = faltor(image, mask, padding)
    assert box == reference(mask, padding) and crop.shape == (box[2], box[3])
    np.testing.assert_array_equal(image, before[0])
    np.testing.assert_array_equal(mask, before[1])


@pytest.mark.parametrize("dtype, value", [(np.uint8, 255), (np.uint16, 65535), (np.int64, 2 ** 62)])
def test_sums_do_not_wrap(dtype, value):
    # 256 equal values sum to 0 when added up in the mask's own width.
    mask = np.zeros((300, 300), dtype)
    mask[5, 10:266] = value
    mask[40:296, 7] = value
    assert faltor(np.zeros((300, 300)), mask, 0)[1] == [5, 7, 291, 259]


def test_signed_values_cancel_like_sums_and_small_image():
    mask = np.zeros((6, 6), np.int16)
    mask[1, 1], mask[1, 2], mask[4, 4] = 3, -3, 1  # row 1 sums to 0
    crop, box = faltor(np.zeros((3, 3)), mask, 0)
    assert box == [4, 1, 1, 4] and crop.shape == (0, 2)  # cut short at the image's border


@pytest.mark.parametrize("image, mask, padding, exc", [
    (np.zeros((4, 4)), np.zeros((4, 4), np.uint8), 1, IndexError),
    (np.zeros((4, 4)), np.zeros((0, 5), np.uint8), 1, IndexError),
    (np.zeros((4, 4)), np.ones((4, 4, 1), np.uint8), 0, ValueError),
    (np.zeros((4, 4)), np.ones(4, np.uint8), 0, ValueError),
    (np.zeros((4, 4)), np.ones((4, 4), complex), 0, TypeError),
    (np.zeros((4, 4)), [[1]], 0, TypeError),
    (np.zeros(4), np.ones((4, 4), np.uint8), 0, ValueError),
    (np.zeros((4, 4)), np.ones((4, 4), np.uint8), 1.5, TypeError),
    (np.zeros((4, 4)), np.ones((4, 4), np.uint8), -1, ValueError),
])
def test_bad_input(image, mask, padding, exc):
    with pytest.raises(exc):
        faltor(image, mask, padding)
