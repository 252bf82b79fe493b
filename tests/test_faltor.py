import numpy as np
import pytest

from kiro.utils.faltor import faltor


def reference(mask, padding):
    """Plain NumPy formulation of the crop bounds."""
    h, w = mask.shape
    rows = np.nonzero(mask.any(axis=1))[0]
    cols = np.nonzero(mask.any(axis=0))[0]
    up, left = max(rows[0] - padding, 0), max(cols[0] - padding, 0)
    down, right = min(rows[-1] + 1 + padding, h), min(cols[-1] + 1 + padding, w)
    return [int(up), int(left), int(down - up), int(right - left)]


@pytest.fixture
def block():
    m = np.zeros((10, 10), np.uint8)
    m[2:5, 3:7] = 1
    return m


@pytest.mark.parametrize("padding, box", [
    (2, [0, 1, 7, 8]),
    (0, [2, 3, 3, 4]),
    (1, [1, 2, 5, 6]),
    (100, [0, 0, 10, 10]),
    (2 ** 70, [0, 0, 10, 10]),
    (np.int32(2), [0, 1, 7, 8]),
])
def test_block_boxes(block, padding, box):
    image = np.arange(300, dtype=np.uint8).reshape(10, 10, 3)
    crop, got = faltor(image, block, padding)
    assert got == box and all(type(v) is int for v in got)
    up, left, hh, ww = box
    np.testing.assert_array_equal(crop, image[up:up + hh, left:left + ww])
    assert np.shares_memory(crop, image)
    assert crop.base is not None


@pytest.mark.parametrize("dtype", [bool, np.uint8, np.int8, np.uint16, np.int16, np.uint32,
                                   np.int32, np.uint64, np.int64, np.float32, np.float64])
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_random_masks_match_reference(dtype, seed):
    rng = np.random.RandomState(seed)
    mask = np.zeros((37, 53), dtype)
    r, c = rng.randint(0, 37, 4), rng.randint(0, 53, 4)
    mask[r, c] = 1
    padding = int(rng.randint(0, 6))
    image = rng.randint(0, 255, (37, 53)).astype(np.uint8)
    crop, box = faltor(image, mask, padding)
    assert box == reference(mask, padding)
    assert crop.shape == (box[2], box[3])


@pytest.mark.parametrize("dtype, value", [(np.uint8, 255), (np.uint16, 65535),
                                          (np.uint64, 2 ** 63), (np.int64, 2 ** 62)])
def test_sums_do_not_wrap(dtype, value):
    # 256 equal values sum to 0 when added up in the mask's own width.
    mask = np.zeros((300, 300), dtype)
    mask[5, 10:266] = value
    mask[40:296, 7] = value
    _, box = faltor(np.zeros((300, 300)), mask, 0)
    assert box == [5, 7, 296 - 5, 266 - 7]


def test_signed_values_cancel_like_sums():
    mask = np.zeros((6, 6), np.int16)
    mask[1, 1], mask[1, 2] = 3, -3  # row 1 sums to 0
    mask[4, 4] = 1
    _, box = faltor(np.zeros((6, 6)), mask, 0)
    assert box == [4, 1, 1, 4]


@pytest.mark.parametrize("where, padding, box", [
    ((9, 9), 1, [8, 8, 2, 2]),
    ((9, 9), 0, [9, 9, 1, 1]),
    ((0, 0), 3, [0, 0, 4, 4]),
    ((4, 6), 0, [4, 6, 1, 1]),
])
def test_single_pixel_and_borders(where, padding, box):
    mask = np.zeros((10, 10), np.uint8)
    mask[where] = 7
    crop, got = faltor(np.zeros((10, 10, 4)), mask, padding)
    assert got == box
    assert crop.shape == (box[2], box[3], 4)


def test_strided_inputs(block):
    big = np.zeros((20, 30), np.uint8)
    big[::2, ::3] = block
    mask_view = big[::2, ::3]
    reversed_mask = block[::-1, ::-1]
    image = np.arange(10 * 10 * 3).reshape(10, 10, 3)[:, ::-1]
    assert faltor(image, mask_view, 2)[1] == [0, 1, 7, 8]
    crop, box = faltor(image, reversed_mask, 0)
    assert box == reference(reversed_mask, 0)
    np.testing.assert_array_equal(crop, image[box[0]:box[0] + box[2], box[1]:box[1] + box[3]])
    assert np.shares_memory(crop, image)


def test_image_smaller_than_mask(block):
    crop, box = faltor(np.zeros((3, 3)), block, 2)
    assert box == [0, 1, 7, 8] and crop.shape == (3, 2)


def test_inputs_untouched(block):
    image = np.arange(100, dtype=np.uint8).reshape(10, 10)
    before_i, before_m = image.copy(), block.copy()
    faltor(image, block, 3)
    np.testing.assert_array_equal(image, before_i)
    np.testing.assert_array_equal(block, before_m)


@pytest.mark.parametrize("mask", [np.zeros((10, 10), np.uint8), np.zeros((0, 5), np.uint8),
                                  np.zeros((4, 0), np.float32)])
def test_no_content_raises_index_error(mask):
    with pytest.raises(IndexError):
        faltor(np.zeros((10, 10)), mask, 1)


@pytest.mark.parametrize("image, mask, padding, exc", [
    (np.zeros((4, 4)), np.ones((4, 4, 1), np.uint8), 0, ValueError),
    (np.zeros((4, 4)), np.ones(4, np.uint8), 0, ValueError),
    (np.zeros((4, 4)), np.ones((4, 4), complex), 0, TypeError),
    (np.zeros((4, 4)), np.ones((4, 4), object), 0, TypeError),
    (np.zeros((4, 4)), [[1]], 0, TypeError),
    (np.zeros(4), np.ones((4, 4), np.uint8), 0, ValueError),
    (np.zeros((4, 4)), np.ones((4, 4), np.uint8), 1.5, TypeError),
    (np.zeros((4, 4)), np.ones((4, 4), np.uint8), -1, ValueError),
])
def test_bad_input(image, mask, padding, exc):
    with pytest.raises(exc):
        faltor(image, mask, padding)


def test_binding():
    m = np.ones((3, 3), np.uint8)
    assert faltor(mask=m, padding=0, image=np.zeros((3, 3)))[1] == [0, 0, 3, 3]
    with pytest.raises(TypeError):
        faltor(np.zeros((3, 3)), m)
