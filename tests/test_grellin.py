import numpy as np
import pytest

from kiro.core.grellin import grellin


# Straightforward per-class repair in NumPy, full size: 4-connected pieces
# labelled in raster order, largest kept (ties: first label), zero padding of
# size // 80, closing (dilation, then erosion by the reflected element), crop.
def _pieces(binary):
    h, w = binary.shape
    labels = np.zeros((h, w), np.int64)
    areas = [0]
    for y, x in np.argwhere(binary):
        if labels[y, x]:
            continue
        n = len(areas)
        labels[y, x] = n
        stack, count = [(y, x)], 0
        while stack:
            cy, cx = stack.pop()
            count += 1
            for ny, nx in ((cy - 1, cx), (cy + 1, cx), (cy, cx - 1), (cy, cx + 1)):
                if 0 <= ny < h and 0 <= nx < w and binary[ny, nx] and not labels[ny, nx]:
                    labels[ny, nx] = n
                    stack.append((ny, nx))
        areas.append(count)
    return labels, areas


def _shifted_extreme(a, kh, kw, ay, ax, fill, pick):
    h, w = a.shape
    padded = np.full((h + kh, w + kw), fill, a.dtype)
    padded[ay:ay + h, ax:ax + w] = a
    out = None
    for i in range(kh):
        for j in range(kw):
            win = padded[i:i + h, j:j + w]
            out = win.copy() if out is None else pick(out, win)
    return out


def _closing(a, kh, kw):
    if kh == 0 or kw == 0:
        kh = kw = 3
    ay, ax = kh // 2, kw // 2
    dil = _shifted_extreme(a, kh, kw, ay, ax, 0, np.maximum)
    return _shifted_extreme(dil, kh, kw, kh - 1 - ay, kw - 1 - ax, 1, np.minimum)


def reference(mask, class_list=None, bg_mask=0, delete_thresh=None):
    h, w = mask.shape
    if class_list is None:
        class_list = [v for v in np.unique(mask).tolist() if v != bg_mask]
    ph, pw = h // 80, w // 80
    dt = 0.0 if delete_thresh is None else delete_thresh
    threshold = (w * dt) * (h * dt)
    out = np.full(mask.shape, bg_mask, mask.dtype)
    for c in class_list:
        binary = (mask == c) & (c != 0)
        labels, areas = _pieces(binary)
        if len(areas) > 1:
            best = int(np.argmax(areas[1:])) + 1
            if areas[best] < threshold:
                continue
            binary = labels == best
        padded = np.zeros((h + 2 * ph, w + 2 * pw), np.uint8)
        padded[ph:ph + h, pw:pw + w] = binary
        closed = _closing(padded, ph, pw)[ph:ph + h, pw:pw + w]
        if c == 0:
            out[...] = 0
        else:
            out[closed.astype(bool)] = c
    return out


def blob_mask(h, w, classes, seed, noise=0.01, stray=None):
    rng = np.random.RandomState(seed)
    mask = np.zeros((h, w), np.int64)
    yy, xx = np.mgrid[0:h, 0:w]
    for c in classes:
        for _ in range(2):
            cy, cx = rng.randint(0, h), rng.randint(0, w)
            ry, rx = rng.randint(3, max(4, h // 3)), rng.randint(3, max(4, w // 3))
            mask[((yy - cy) / ry) ** 2 + ((xx - cx) / rx) ** 2 <= 1] = c
    specks = rng.random_sample((h, w)) < noise
    mask[specks] = rng.choice(list(classes) + [0], specks.sum())
    if stray is not None:
        mask[rng.random_sample((h, w)) < noise] = stray
    return mask


@pytest.mark.parametrize("shape", [(60, 100), (100, 170), (160, 240), (240, 400), (81, 79)])
@pytest.mark.parametrize("seed", [0, 1])
@pytest.mark.parametrize("kwargs", [{}, {"class_list": [2, 1, 3]}, {"delete_thresh": 0.12},
                                    {"bg_mask": 2}, {"class_list": [1, 3, 9, 2]}])
def test_matches_full_size_algorithm(shape, seed, kwargs):
    mask = blob_mask(*shape, classes=(1, 2, 3), seed=seed, stray=7).astype(np.uint8)
    before = mask.copy()
    out = grellin(mask, **kwargs)
    assert out.dtype == np.uint8 and out.shape == mask.shape
    np.testing.assert_array_equal(out, reference(mask, **kwargs))
    np.testing.assert_array_equal(mask, before)


@pytest.mark.parametrize("shape", [(160, 320), (240, 400), (100, 170), (60, 90), (600, 800)])
@pytest.mark.parametrize("touch_edge", [False, True])
def test_clean_rectangles_come_back_unchanged(shape, touch_edge):
    h, w = shape
    mask = np.zeros(shape, np.uint8)
    mask[h // 6:h // 2, w // 8:w // 3] = 1
    mask[h // 2 + 5:, w // 2:] = 2 if touch_edge else 0
    mask[h // 2 + 5:h - 4, w // 2:w - 3] = 2
    np.testing.assert_array_equal(grellin(mask), mask)


@pytest.mark.parametrize("shape", [(120, 200), (240, 400)])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_specks_removed_big_region_kept(shape, dtype):
    h, w = shape
    mask = np.zeros(shape, dtype)
    mask[20:80, 30:150] = 4
    clean = mask.copy()
    for y, x in [(2, 2), (100, 5), (110, 190), (5, 180), (90, 160)]:
        mask[y, x] = 4
    np.testing.assert_array_equal(grellin(mask), clean)


@pytest.mark.parametrize("class_list", [[1, 2], None])
def test_stray_values(class_list):
    mask = np.zeros((160, 240), np.uint8)
    mask[20:100, 20:110] = 1
    mask[20:100, 120:220] = 2
    mask[20:100, 110:120] = 3          # seam between the two regions
    mask[130:133, 10:13] = 3           # a small second piece of 3
    out = grellin(mask, class_list=class_list)
    if class_list is None:
        assert set(np.unique(out)) == {0, 1, 2, 3}
        assert not out[130:133, 10:13].any()
        assert (out[25:95, 112:118] == 3).all()
    else:
        assert 3 not in out
    np.testing.assert_array_equal(out, reference(mask, class_list=class_list))


@pytest.mark.parametrize("pieces,largest_first", [(200, False), (300, False), (130, True)])
def test_many_pieces_keep_exactly_the_largest(pieces, largest_first):
    h, w = 120, 200
    mask = np.zeros((h, w), np.uint8)
    block = (slice(90, 110), slice(40, 90)) if not largest_first else (slice(0, 20), slice(40, 90))
    spots = [(y, x) for y in range(25 if largest_first else 0, 85, 3) for x in range(1, w - 1, 3)][:pieces]
    for y, x in spots:
        mask[y, x] = 5
    mask[block] = 5
    out = grellin(mask)
    expected = np.zeros_like(mask)
    expected[block] = 5
    np.testing.assert_array_equal(out, expected)


def test_tie_keeps_the_piece_met_first():
    mask = np.zeros((120, 200), np.uint8)
    mask[50:60, 10:20] = 1   # starts lower: labelled second
    mask[20:30, 150:160] = 1
    out = grellin(mask)
    assert out[20:30, 150:160].all() and not out[50:60, 10:20].any()


@pytest.mark.parametrize("area,kept", [(4800, True), (4799, False)])
@pytest.mark.parametrize("bg_mask", [0, 9])
def test_area_threshold_boundary(area, kept, bg_mask):
    mask = np.full((600, 800), bg_mask, np.uint8)
    mask[100:160, 100:180] = 1                 # 60 x 80 = 4800
    if area == 4799:
        mask[100, 100] = bg_mask
    mask[300:400, 300:500] = 2
    out = grellin(mask, bg_mask=bg_mask, delete_thresh=0.1)
    assert (1 in out) == kept
    assert (out[300:400, 300:500] == 2).all()
    if not kept:
        assert (out[100:160, 100:180] == bg_mask).all()


@pytest.mark.parametrize("w", [100, 160, 250])
def test_zero_row_padding_uses_default_element(w):
    mask = np.zeros((60, w), np.uint8)
    mask[10:50, 10:60] = 1
    mask[30, 30] = 0          # one-pixel hole
    mask[15:45, 35] = 0       # one-pixel-wide slit
    out = grellin(mask)
    assert (out[10:50, 10:60] == 1).all()
    np.testing.assert_array_equal(out, reference(mask))


@pytest.mark.parametrize("class_list", [[1, 0, 2], [0, 1, 2], [1, 2, 0]])
def test_class_zero_erases_earlier_classes(class_list):
    mask = np.full((100, 170), 5, np.uint8)
    mask[10:40, 10:60] = 1
    mask[50:90, 80:150] = 2
    mask[60:70, 10:20] = 0
    out = grellin(mask, class_list=class_list, bg_mask=5)
    np.testing.assert_array_equal(out, reference(mask, class_list=class_list, bg_mask=5))
    after_zero = class_list[class_list.index(0) + 1:]
    assert set(np.unique(out)) == {0} | set(after_zero)


@pytest.mark.parametrize("dtype,classes,bg", [
    (np.int8, (-3, 4, 100), -1),
    (np.uint16, (300, 1, 65535), 0),
    (np.int32, (-70000, 2, 123456), 0),
    (np.int64, (2 ** 40, -5, 7), 3),
    (np.uint64, (2 ** 63 + 5, 1, 2), 0),
    (np.float32, (1.5, 2.0, -4.0), 0),
])
def test_wider_and_signed_masks(dtype, classes, bg):
    codes = blob_mask(100, 170, classes=(1, 2, 3), seed=3)
    table = np.array((bg,) + classes, dtype)
    mask = table[codes]
    before = mask.copy()
    out = grellin(mask, bg_mask=bg)
    assert out.dtype == mask.dtype
    # classes are processed in ascending value order
    order = [1 + int(i) for i in np.argsort(np.array(classes, dtype))]
    expected = table[reference(codes.astype(np.uint8), class_list=order)]
    np.testing.assert_array_equal(out, expected)
    np.testing.assert_array_equal(mask, before)


def test_bool_mask():
    mask = blob_mask(100, 170, classes=(1,), seed=4).astype(bool)
    out = grellin(mask)
    assert out.dtype == bool
    np.testing.assert_array_equal(out, reference(mask.astype(np.uint8)).astype(bool))


@pytest.mark.parametrize("view", [lambda m: m[:, ::2], lambda m: m.T, lambda m: m[::-1],
                                  lambda m: m.astype(m.dtype.newbyteorder(">"))])
def test_views_equal_their_copies(view):
    base = blob_mask(200, 340, classes=(1, 2), seed=5).astype(np.uint16)
    v = view(base)
    out = grellin(v)
    np.testing.assert_array_equal(out, grellin(np.ascontiguousarray(v)))
    assert out.dtype.kind == "u" and out.dtype.itemsize == 2


@pytest.mark.parametrize("class_list", [[1, 300, 2], [1, 1.5, 2], [1, -1, 2.0], (1, 2), np.array([1, 2]),
                                        [np.uint8(1), np.int64(2)], [1, np.float64(2.0)]])
def test_values_the_mask_cannot_hold_write_nothing(class_list):
    mask = blob_mask(100, 170, classes=(1, 2), seed=6).astype(np.uint8)
    np.testing.assert_array_equal(grellin(mask, class_list=class_list), reference(mask, class_list=[1, 2]))


@pytest.mark.parametrize("shape", [(0, 10), (10, 0)])
def test_empty_mask(shape):
    out = grellin(np.zeros(shape, np.uint8), bg_mask=3)
    assert out.shape == shape and out.dtype == np.uint8


@pytest.mark.parametrize("args,error", [
    ((np.zeros((10, 10, 1), np.uint8),), ValueError),
    ((np.zeros(10, np.uint8),), ValueError),
    (([[0, 1], [1, 0]],), TypeError),
    ((np.zeros((10, 10), np.complex64),), TypeError),
    ((np.zeros((10, 10), np.uint8), 3), TypeError),
    ((np.zeros((10, 10), np.uint8), "12"), TypeError),
    ((np.zeros((10, 10), np.uint8), ["a"]), TypeError),
    ((np.zeros((10, 10), np.uint8), None, 300), ValueError),
    ((np.zeros((10, 10), np.uint8), None, 0.5), ValueError),
    ((np.zeros((10, 10), np.uint8), None, "0"), TypeError),
    ((np.zeros((10, 10), np.uint8), None, 0, "0.1"), TypeError),
])
def test_bad_input(args, error):
    with pytest.raises(error):
        grellin(*args)
