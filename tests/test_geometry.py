"""flip, affine, perspective, crop, resize and scale_jitter: polygons against an
exact polygon library, pixels against the installed OpenCV's own calls, draws
replayed, labels kept aligned, bad input refused before anything changes."""

import math
import random

import numpy as np
import pytest

import kiro
from kiro.core import affine as affine_module, perspective as perspective_module
from conftest import python_turns_during, replay

shapely = pytest.importorskip("shapely")
from shapely import affinity, ops  # noqa: E402
from shapely.geometry import Polygon, box  # noqa: E402

ref_ops = pytest.importorskip("ref_geometry_ops")
ref_warp = pytest.importorskip("ref_geometry_warp")

INTER = {"nearest": 0, "linear": 1, "cubic": 2, "area": 3}
NEAREST_EXACT = 6  # resizes take the source pixel under each destination pixel's centre
W, H = 96, 64


# ---- continuous maps, written from the documented formulas ------------------------------

def affine_map(w, h, rotate=0.0, scale=1.0, tx=0.0, ty=0.0, sx=0.0, sy=0.0):
    """3 x 3 matrix of p' = A (p - c) + c + (tx W, ty H)."""
    a = math.radians(rotate)
    alpha, beta = math.cos(a) * scale, math.sin(a) * scale
    rs = np.array([[alpha, beta], [-beta, alpha]])
    sh = np.array([[1, math.tan(math.radians(sx))], [math.tan(math.radians(sy)), 1]])
    A = rs @ sh
    c = np.array([w / 2, h / 2])
    m = np.eye(3)
    m[:2, :2] = A
    m[:2, 2] = c - A @ c + [tx * w, ty * h]
    return m


def corner_homography(w, h, d):
    src = [(0, 0), (w, 0), (w, h), (0, h)]
    dst = [(d[0] * w, d[1] * h), (w - d[2] * w, d[3] * h), (w - d[4] * w, h - d[5] * h), (d[6] * w, h - d[7] * h)]
    rows, rhs = [], []
    for (x, y), (u, v) in zip(src, dst):
        rows.append([x, y, 1, 0, 0, 0, -x * u, -y * u])
        rows.append([0, 0, 0, x, y, 1, -x * v, -y * v])
        rhs += [u, v]
    return np.append(np.linalg.solve(np.array(rows, float), np.array(rhs, float)), 1).reshape(3, 3)


def scale_map(sx, sy, ox=0.0, oy=0.0):
    return np.array([[sx, 0, ox], [0, sy, oy], [0, 0, 1.0]])


def pixel_matrix(m):
    """OpenCV's pixel-centre matrix of a continuous map."""
    t = lambda v: np.array([[1, 0, v], [0, 1, v], [0, 0, 1.0]])
    return t(-0.5) @ m @ t(0.5)


def apply(m, pts):
    p = np.c_[pts, np.ones(len(pts))] @ m.T
    return p[:, :2] / p[:, 2:3]


# ---- polygons ----------------------------------------------------------------------------

def star(rng, w, h, n, concave):
    """Clockwise (on screen) star-shaped polygon, often crossing the frame."""
    cx, cy = rng.uniform(-0.2 * w, 1.2 * w), rng.uniform(-0.2 * h, 1.2 * h)
    r = rng.uniform(4, 0.4 * min(w, h))
    t = np.sort(rng.choice(np.linspace(0, 2 * np.pi, 360, endpoint=False), n, replace=False))
    rad = r * (rng.uniform(0.3, 1.0, n) if concave else np.ones(n))
    return np.c_[cx + rad * np.cos(t), cy + rad * np.sin(t)]


def polygon_set(seed, w=W, h=H, count=24):
    rng = np.random.RandomState(seed)
    return [star(rng, w, h, int(rng.randint(3, 20)), bool(i % 2)) for i in range(count)]


def expected_pieces(polys, m, w, h):
    frame = box(0, 0, w, h)
    out = []
    for p in polys:
        out.append(Polygon(apply(m, p)).intersection(frame))
    return out


def by_label(record):
    polys, labels = kiro.unpack_polygons(record["keypoints"], record["labels"])
    groups = {}
    for p, lab in zip(polys, labels):
        g = Polygon(p)
        assert g.is_valid, "piece of label %r is not a simple polygon" % (lab,)
        groups.setdefault(int(lab), []).append(g)
    return {k: ops.unary_union(v) for k, v in groups.items()}


def assert_exact(record, polys, m, w, h, min_area=0.0):
    kp = record["keypoints"]
    assert np.isfinite(kp).all()
    if kp.size:
        assert kp[:, 0::2].min() >= 0 and kp[:, 0::2].max() <= w
        assert kp[:, 1::2].min() >= 0 and kp[:, 1::2].max() <= h
    got = by_label(record)
    for i, want in enumerate(expected_pieces(polys, m, w, h)):
        if want.area <= min_area:
            continue
        g = got.get(i)
        assert g is not None, "label %d lost (expected area %.3f)" % (i, want.area)
        iou = g.intersection(want).area / g.union(want).area
        assert iou >= 0.999 or g.symmetric_difference(want).area < 1e-3, (i, iou)
    for i in got:
        assert expected_pieces([polys[i]], m, w, h)[0].area > 0


def record_of(polys, w=W, h=H, dtype=np.float64, labels=None):
    rng = np.random.RandomState(3)
    return {"image": rng.randint(0, 256, (h, w, 3)).astype(np.uint8),
            "mask": rng.randint(0, 4, (h, w)).astype(np.uint8),
            "keypoints": kiro.pack_polygons(polys, dtype=dtype),
            "labels": list(range(len(polys))) if labels is None else labels}


# (name, kwargs, draws replayed for the parameters, continuous map from the drawn values)
def _affine_case():
    kw = dict(rotate=[-30, 30], scale=[0.7, 1.4], translate=[-0.2, 0.2], shear=[-10, 10])

    def draws(r):
        return [r.uniform(-30, 30), r.uniform(0.7, 1.4), r.uniform(-0.2, 0.2), r.uniform(-0.2, 0.2),
                r.uniform(-10, 10), r.uniform(-10, 10)]
    return "affine", kw, draws, lambda v, w, h: (affine_map(w, h, *v), w, h)


def _perspective_case():
    def draws(r):
        return [r.uniform(0.02, 0.2) for _ in range(8)]
    return "perspective", dict(distortion=[0.02, 0.2]), draws, lambda v, w, h: (corner_homography(w, h, v), w, h)


def _crop_case():
    cw, ch = 50, 80

    def draws(r):
        return [r.randint(min(0, W - cw), max(0, W - cw)), r.randint(min(0, H - ch), max(0, H - ch))]
    return "crop", dict(size=(ch, cw)), draws, lambda v, w, h: (scale_map(1, 1, -v[0], -v[1]), cw, ch)


def _jitter_case():
    ow, oh = 70, 60

    def draws(r):
        s = r.uniform(0.3, 2.5)
        ratio = s * max(ow, oh) / max(W, H)
        nw, nh = int(math.floor(W * ratio + 0.5)), int(math.floor(H * ratio + 0.5))
        return [nw, nh, r.randint(0, max(0, nw - ow)), r.randint(0, max(0, nh - oh))]
    return "scale_jitter", dict(size=(oh, ow), scale=[0.3, 2.5]), draws, \
        lambda v, w, h: (scale_map(v[0] / w, v[1] / h, -v[2], -v[3]), ow, oh)


def _flip_case(direction):
    fx, fy = direction in ("horizontal", "both"), direction in ("vertical", "both")
    m = np.array([[-1 if fx else 1, 0, W if fx else 0], [0, -1 if fy else 1, H if fy else 0], [0, 0, 1.0]])
    return "flip", dict(direction=direction, prob=1.0), lambda r: [], lambda v, w, h: (m, w, h)


def _resize_case(kw, out_w, out_h, sx, sy, ox=0, oy=0):
    return "resize", kw, None, lambda v, w, h: (scale_map(sx, sy, ox, oy), out_w, out_h)


DRAWN = [_affine_case(), _perspective_case(), _crop_case(), _jitter_case(),
         _flip_case("horizontal"), _flip_case("vertical"), _flip_case("both")]
FIXED = [_resize_case(dict(size=(40, 150)), 150, 40, 150 / W, 40 / H),
         _resize_case(dict(size=48), 48, 32, 0.5, 0.5),
         _resize_case(dict(size=(80, 80), letterbox=True), 80, 80, 80 / W, 53 / H, 0, 13)]


def run_case(case, record, seed):
    name, kw, draws, make = case
    random.seed(seed)
    out = getattr(kiro, name)(record, min_area=0.0, **kw) if name not in ("flip", "resize") else \
        getattr(kiro, name)(record, **kw)
    r = random.Random(seed)
    if draws is not None:
        r.random()  # the gate
        values = draws(r)
    else:
        values = []
    assert random.getstate() == r.getstate(), "draws differ from the documented order"
    m, w, h = make(values, W, H)
    return out, m, w, h


@pytest.mark.parametrize("case", DRAWN + FIXED, ids=lambda c: c[0] + str(sorted(c[1].items())))
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_polygons_match_the_exact_result(case, seed):
    polys = polygon_set(seed)
    out, m, w, h = run_case(case, record_of(polys), seed)
    assert out["image"].shape[:2] == (h, w) and out["mask"].shape == (h, w)
    assert_exact(out, polys, m, w, h)


@pytest.mark.parametrize("case", DRAWN[:4] + FIXED[:1], ids=lambda c: c[0])
def test_integer_keypoints_are_the_rounded_real_result(case):
    polys = [np.rint(p) for p in polygon_set(5)]
    as_float, _, _, _ = run_case(case, record_of(polys), 9)
    as_int, _, _, _ = run_case(case, record_of(polys, dtype=np.int32), 9)
    assert as_int["keypoints"].dtype == np.int32
    np.testing.assert_array_equal(as_int["keypoints"], np.rint(as_float["keypoints"]))
    assert as_int["labels"] == as_float["labels"]


@pytest.mark.parametrize("case", DRAWN, ids=lambda c: c[0] + str(sorted(c[1].items())))
def test_pieces_keep_the_polygon_orientation(case):
    polys = polygon_set(11)
    out, _, _, _ = run_case(case, record_of(polys), 4)
    pieces, labels = kiro.unpack_polygons(out["keypoints"], out["labels"])
    for p in pieces:
        x, y = p[:, 0], p[:, 1]
        signed = np.dot(x, np.roll(y, -1)) - np.dot(y, np.roll(x, -1))
        assert signed > 0  # every input is clockwise on screen


def test_flip_of_a_row_inside_is_the_mirror_in_reverse():
    kp = np.array([[10.5, 2, 30, 2, 30, 20, 10.5, 20]])
    out = kiro.flip({"image": np.zeros((40, 50, 3), np.uint8), "keypoints": kp}, prob=1)
    np.testing.assert_array_equal(out["keypoints"], [[50 - 10.5, 20, 20, 20, 20, 2, 50 - 10.5, 2]])


# ---- labels through splits and drops ---------------------------------------------------------

# A U opening downwards: base at rows 10..20, arms at rows 20..40 (clockwise on screen).
U_SHAPE = np.array([[10, 10], [40, 10], [40, 40], [30, 40], [30, 20], [20, 20], [20, 40], [10, 40]], float)


@pytest.mark.parametrize("kind", [list, tuple, np.array])
def test_a_split_polygon_repeats_its_label_and_drops_keep_alignment(kind):
    # The window's rows 20..40 hold the U's two arms apart; the small square
    # keeps 0.5 px^2 inside, below min_area; the last square lies outside.
    small = np.array([[0, 39.5], [1, 39.5], [1, 40.5], [0, 40.5]], float)
    gone = np.array([[0, 0], [5, 0], [5, 5], [0, 5]], float)
    labels = kind(["u", "small", "gone"])
    rec = {"image": np.zeros((60, 60, 3), np.uint8), "keypoints": kiro.pack_polygons([U_SHAPE, small, gone]),
           "labels": labels}
    out = kiro.crop(rec, size=(20, 60), position="center")
    assert type(out["labels"]) is type(labels)
    assert list(out["labels"]) == ["u", "u"]
    pieces = kiro.unpack_polygons(out["keypoints"])
    areas = sorted(Polygon(p).area for p in pieces)
    assert areas == pytest.approx([200.0, 200.0])


def test_min_visibility_drops_the_whole_polygon():
    square = np.array([[-30, 10], [10, 10], [10, 30], [-30, 30]], float)  # 1/4 inside
    rec = lambda: {"image": np.zeros((40, 40, 3), np.uint8), "keypoints": kiro.pack_polygons([square, U_SHAPE - 5]),
                   "labels": np.array([7, 8])}
    kept = kiro.affine(rec(), min_visibility=0.2)
    assert list(kept["labels"]) == [7, 8]
    dropped = kiro.affine(rec(), min_visibility=0.3)
    assert list(dropped["labels"]) == [8]
    assert Polygon(kiro.unpack_polygons(dropped["keypoints"])[0]).area == pytest.approx(Polygon(U_SHAPE).area)


def test_everything_dropped_gives_an_empty_keypoint_array():
    rec = {"image": np.zeros((20, 20, 3), np.uint8), "keypoints": np.array([[50., 50, 60, 50, 60, 60]]),
           "labels": [1], "bbox": None}
    out = kiro.affine(rec)
    assert out["keypoints"].shape == (0, 0) and out["keypoints"].dtype == np.float64
    assert out["labels"] == [] and out["bbox"].shape == (0, 4)


def test_bbox_follows_the_new_labels(record):
    record["bbox"] = None
    out = kiro.flip(record, prob=1)
    np.testing.assert_array_equal(out["bbox"], kiro.quarnet(out["keypoints"]))
    np.testing.assert_array_equal(out["bbox_index"], np.arange(len(out["keypoints"])))
    del out["keypoints"]
    out = kiro.crop(out, size=(30, 40), position="center")
    boxes, index = kiro.mask2bbox(out, 0)
    np.testing.assert_array_equal(out["bbox"], boxes)
    np.testing.assert_array_equal(out["bbox_index"], index)


# ---- pixels against the installed OpenCV --------------------------------------------------------

IMAGES = {
    "bgr": lambda rng: rng.randint(0, 256, (H, W, 3)).astype(np.uint8),
    "grey": lambda rng: rng.randint(0, 256, (H, W)).astype(np.uint8),
    "bgra": lambda rng: rng.randint(0, 256, (H, W, 4)).astype(np.uint8),
    "float": lambda rng: rng.uniform(0, 1, (H, W, 3)).astype(np.float32),
    "bgr16": lambda rng: rng.randint(0, 65536, (H, W, 3)).astype(np.uint16),
}


@pytest.fixture(params=sorted(IMAGES))
def pixels(request):
    rng = np.random.RandomState(21)
    return IMAGES[request.param](rng), rng.randint(0, 5, (H, W)).astype(np.uint8)


@pytest.mark.parametrize("direction, code", [("horizontal", 1), ("vertical", 0), ("both", -1)])
def test_flip_pixels(pixels, direction, code):
    image, mask = pixels
    out = kiro.flip({"image": image, "mask": mask}, prob=1, direction=direction)
    np.testing.assert_array_equal(out["image"], ref_ops.flip(image, code))
    np.testing.assert_array_equal(out["mask"], ref_ops.flip(mask, code))


@pytest.mark.parametrize("width", [1, 7, 33, 101])
@pytest.mark.parametrize("dtype, channels", [(np.uint8, 1), (np.uint8, 3), (np.uint8, 4), (np.uint16, 3),
                                             (np.int32, 2), (np.float32, 3), (np.uint8, 5)])
def test_flip_rows_of_any_width_and_element(width, dtype, channels):
    rng = np.random.RandomState(width)
    image = rng.randint(0, 250, (5, width, channels)).astype(dtype)
    np.testing.assert_array_equal(kiro.flip(image, prob=1), image[:, ::-1])
    np.testing.assert_array_equal(kiro.flip(image, prob=1, direction="both"), image[::-1, ::-1])


@pytest.mark.parametrize("interpolation", ["nearest", "linear", "cubic"])
@pytest.mark.parametrize("kw", [dict(rotate=17.0, scale=1.2, translate=0.1, shear=8.0), dict(rotate=-90),
                                dict(rotate=[-20, 20], translate=[-0.1, 0.1], shear=[-5, 5])])
def test_affine_pixels(pixels, interpolation, kw):
    image, mask = pixels
    fill = [9, 200, 31, 77][:image.shape[2]] if image.ndim == 3 else 9
    random.seed(6)
    out = kiro.affine({"image": image, "mask": mask}, interpolation=interpolation, fill=fill, mask_fill=255, **kw)
    r = random.Random(6)
    r.random()
    value = lambda v: r.uniform(*v) if isinstance(v, list) else v
    rotate, scale = value(kw.get("rotate", 0)), value(kw.get("scale", 1))
    tx, ty = value(kw.get("translate", 0)), value(kw.get("translate", 0))
    sx, sy = value(kw.get("shear", 0)), value(kw.get("shear", 0))
    assert random.getstate() == r.getstate()
    M = affine_module._matrix(W, H, rotate, scale, tx, ty, sx, sy)
    np.testing.assert_allclose(M, pixel_matrix(affine_map(W, H, rotate, scale, tx, ty, sx, sy))[:2], atol=1e-9)
    np.testing.assert_array_equal(out["image"], ref_warp.warp_affine(image, M, W, H, INTER[interpolation], fill))
    np.testing.assert_array_equal(out["mask"], ref_warp.warp_affine(mask, M, W, H, INTER["nearest"], 255))


@pytest.mark.parametrize("interpolation", ["nearest", "linear", "cubic"])
def test_perspective_pixels(pixels, interpolation):
    image, mask = pixels
    d = [0.1, 0.02, 0.05, 0.12, 0.2, 0.01, 0.0, 0.07]
    M = perspective_module._matrix(W, H, d)
    want = pixel_matrix(corner_homography(W, H, d))
    np.testing.assert_allclose(M / M[2, 2], want / want[2, 2], rtol=0, atol=1e-9)
    random.seed(5)
    out = kiro.perspective({"image": image, "mask": mask}, distortion=[0.0, 0.2], interpolation=interpolation,
                           fill=3, mask_fill=7)
    r = random.Random(5)
    r.random()
    M = perspective_module._matrix(W, H, [r.uniform(0.0, 0.2) for _ in range(8)])
    np.testing.assert_array_equal(out["image"], ref_ops.warp_perspective(image, M, INTER[interpolation], 3))
    np.testing.assert_array_equal(out["mask"], ref_ops.warp_perspective(mask, M, INTER["nearest"], 7))


@pytest.mark.parametrize("shape", [(7, 300, 3), (15, 70), (200, 9, 4), (1, 1, 3), (40, 1100, 3)])
def test_perspective_pixels_at_odd_sizes(shape):
    # Short images change the column blocks of OpenCV's coordinate pass.
    rng = np.random.RandomState(len(shape) + shape[0])
    image = rng.randint(0, 256, shape).astype(np.uint8)
    mask = rng.randint(0, 9, shape[:2]).astype(np.uint16)
    fill = [1, 2, 3, 4][:shape[-1]] if len(shape) == 3 else 1
    random.seed(0)
    out = kiro.perspective({"image": image, "mask": mask}, distortion=[0, 0.2], fill=fill)
    r = random.Random(0)
    r.random()
    M = perspective_module._matrix(shape[1], shape[0], [r.uniform(0, 0.2) for _ in range(8)])
    np.testing.assert_array_equal(out["image"], ref_ops.warp_perspective(image, M, 1, fill))
    np.testing.assert_array_equal(out["mask"], ref_ops.warp_perspective(mask, M, 0, 0))


def padded(a, x0, y0, w, h, fill):
    """a[y0:y0 + h, x0:x0 + w] with out-of-image parts set to fill."""
    out = np.empty((h, w) + a.shape[2:], a.dtype)
    out[...] = fill
    ys, xs = slice(max(0, y0), min(a.shape[0], y0 + h)), slice(max(0, x0), min(a.shape[1], x0 + w))
    out[ys.start - y0:ys.stop - y0, xs.start - x0:xs.stop - x0] = a[ys, xs]
    return out


@pytest.mark.parametrize("size", [(30, 40), (100, 70), (64, 200)])
@pytest.mark.parametrize("position", ["random", "center"])
def test_crop_pixels(pixels, size, position):
    image, mask = pixels
    random.seed(2)
    out = kiro.crop({"image": image, "mask": mask}, size=size, position=position, fill=5, mask_fill=9)
    h, w = size
    if position == "center":
        x0, y0 = (W - w) // 2, (H - h) // 2
    else:
        r = random.Random(2)
        r.random()
        x0, y0 = r.randint(min(0, W - w), max(0, W - w)), r.randint(min(0, H - h), max(0, H - h))
    np.testing.assert_array_equal(out["image"], padded(image, x0, y0, w, h, 5))
    np.testing.assert_array_equal(out["mask"], padded(mask, x0, y0, w, h, 9))
    if w <= W and h <= H:
        assert np.shares_memory(out["image"], image)  # a window inside is a view, as slicing gives


@pytest.mark.parametrize("interpolation", ["nearest", "linear", "cubic", "area"])
@pytest.mark.parametrize("kw, nw, nh, ow, oh", [
    (dict(size=(50, 150)), 150, 50, 150, 50),
    (dict(size=40), 40, 27, 40, 27),
    (dict(size=(60, 60), keep_ratio=True), 60, 40, 60, 40),
    (dict(size=(60, 70), letterbox=True), 70, 47, 70, 60),
])
def test_resize_pixels(pixels, interpolation, kw, nw, nh, ow, oh):
    image, mask = pixels
    out = kiro.resize({"image": image, "mask": mask}, interpolation=interpolation, fill=4, mask_fill=6, **kw)
    ox, oy = (ow - nw) // 2, (oh - nh) // 2
    flags = NEAREST_EXACT if interpolation == "nearest" else INTER[interpolation]
    want = padded(ref_ops.resize(image, nw, nh, flags), -ox, -oy, ow, oh, 4)
    np.testing.assert_array_equal(out["image"], want)
    np.testing.assert_array_equal(out["mask"], padded(ref_ops.resize(mask, nw, nh, NEAREST_EXACT), -ox, -oy, ow, oh, 6))


@pytest.mark.parametrize("scale", [0.4, 1.0, 2.2, [0.2, 3.0]])
@pytest.mark.parametrize("size", [(64, 64), (30, 120), (120, 30)])
def test_scale_jitter_pixels(pixels, scale, size):
    image, mask = pixels
    random.seed(8)
    out = kiro.scale_jitter({"image": image, "mask": mask}, size=size, scale=scale, fill=1, mask_fill=2)
    r = random.Random(8)
    r.random()
    s = scale if not isinstance(scale, list) else r.uniform(*scale)
    h, w = size
    ratio = s * max(h, w) / max(H, W)
    nw, nh = int(math.floor(W * ratio + 0.5)), int(math.floor(H * ratio + 0.5))
    x0, y0 = r.randint(0, max(0, nw - w)), r.randint(0, max(0, nh - h))
    assert random.getstate() == r.getstate()
    np.testing.assert_array_equal(out["image"], padded(ref_ops.resize(image, nw, nh, 1), x0, y0, w, h, 1))
    np.testing.assert_array_equal(out["mask"], padded(ref_ops.resize(mask, nw, nh, NEAREST_EXACT), x0, y0, w, h, 2))


@pytest.mark.parametrize("dtype", [np.bool_, np.uint16, np.int32, np.int64])
@pytest.mark.parametrize("op, kw", [("flip", dict(prob=1)), ("affine", dict(rotate=20)),
                                    ("perspective", dict(distortion=0.1)), ("crop", dict(size=(90, 50))),
                                    ("resize", dict(size=(33, 77))), ("scale_jitter", dict(size=(50, 50), scale=1.5))])
def test_masks_of_any_integer_type_move_as_their_values(op, kw, dtype):
    rng = np.random.RandomState(4)
    mask8 = rng.randint(0, 2 if dtype == np.bool_ else 5, (H, W)).astype(np.uint8)
    image = rng.randint(0, 256, (H, W, 3)).astype(np.uint8)
    random.seed(1)
    want = getattr(kiro, op)({"image": image, "mask": mask8}, **kw)["mask"]
    random.seed(1)
    got = getattr(kiro, op)({"image": image, "mask": mask8.astype(dtype)}, **kw)["mask"]
    assert got.dtype == dtype
    np.testing.assert_array_equal(got, want.astype(dtype))


def test_bare_images_and_strided_inputs():
    rng = np.random.RandomState(0)
    big = rng.randint(0, 256, (H * 2, W * 2, 3)).astype(np.uint8)
    view = big[::2, ::2]  # not packed: read through a copy
    out = kiro.affine(view, rotate=10)
    np.testing.assert_array_equal(out, kiro.affine(np.ascontiguousarray(view), rotate=10))
    assert isinstance(kiro.flip(view, prob=1), np.ndarray)


# ---- draws, gates and refusals ---------------------------------------------------------------------

@pytest.mark.parametrize("op, kw", [("flip", {}), ("affine", dict(rotate=[-5, 5])), ("perspective", {}),
                                    ("crop", dict(size=(10, 10))), ("scale_jitter", dict(size=(10, 10)))])
def test_a_closed_gate_draws_once_and_changes_nothing(record, op, kw):
    before = {k: v for k, v in record.items()}
    random.seed(3)
    threshold = random.Random(3).random()
    random.seed(3)
    out = getattr(kiro, op)(record, prob=threshold, **kw)
    assert out is record and all(out[k] is before[k] for k in before)
    assert random.getstate() == replay(3, [lambda r: r.random()])


def test_crop_objects_holds_the_chosen_object():
    mask = np.zeros((200, 300), np.uint8)
    mask[150:160, 250:270] = 3
    for seed in range(5):
        random.seed(seed)
        out = kiro.crop({"image": np.zeros((200, 300, 3), np.uint8), "mask": mask}, size=(64, 64),
                        position="objects")
        assert (out["mask"] == 3).any()
    kp = np.array([[10, 10, 20, 10, 20, 20], [280, 180, 290, 180, 290, 190]], float)
    seen = set()
    for seed in range(12):
        random.seed(seed)
        out = kiro.crop({"image": np.zeros((200, 300, 3), np.uint8), "keypoints": kp, "labels": ["a", "b"]},
                        size=(50, 50), position="objects", min_area=0)
        assert out["labels"] in (["a"], ["b"])
        seen.add(out["labels"][0])
        assert Polygon(kiro.unpack_polygons(out["keypoints"])[0]).area == pytest.approx(50.0)
    assert seen == {"a", "b"}


BAD = [
    ("flip", dict(direction="sideways"), ValueError, "direction"),
    ("affine", dict(interpolation="area"), ValueError, "interpolation"),
    ("affine", dict(scale=0), ValueError, "scale"),
    ("affine", dict(scale=[-1, 2]), ValueError, "scale"),
    ("affine", dict(min_visibility=1.5), ValueError, "min_visibility"),
    ("perspective", dict(interpolation=3), TypeError, "interpolation"),
    ("crop", dict(size=(0, 10)), ValueError, "size"),
    ("crop", dict(size=(10, 10), position="middle"), ValueError, "position"),
    ("resize", dict(size=-3), ValueError, "size"),
    ("resize", dict(size=(10, 10), interpolation="lanczos"), ValueError, "interpolation"),
    ("scale_jitter", dict(size=(10, 10), scale=0), ValueError, "scale"),
    ("affine", dict(fill=[1, 2]), ValueError, "fill"),
    ("affine", dict(mask_fill=300), ValueError, "mask_fill"),
]


@pytest.mark.parametrize("op, kw, error, word", BAD, ids=lambda v: str(v)[:30])
def test_bad_arguments_are_refused_before_anything_changes(record, op, kw, error, word):
    before = {k: v.copy() for k, v in record.items()}
    state = random.getstate()
    with pytest.raises(error, match=word):
        getattr(kiro, op)(record, **kw)
    assert random.getstate() == state
    for k in before:
        np.testing.assert_array_equal(record[k], before[k])


@pytest.mark.parametrize("op, kw", [("flip", dict(prob=1)), ("affine", {}), ("crop", dict(size=(9, 9))),
                                    ("resize", dict(size=20))])
@pytest.mark.parametrize("change, error, word", [
    (lambda r: r.update(labels=[1]), ValueError, "labels"),
    (lambda r: r["keypoints"].__setitem__((0, 3), np.nan), ValueError, "non-finite"),
    (lambda r: r.update(mask=np.zeros((5, 5), np.uint8)), ValueError, "mask"),
    (lambda r: r.update(keypoints=np.zeros((2, 3))), ValueError, "even"),
])
def test_bad_labels_are_refused_before_anything_changes(record, op, kw, change, error, word):
    record["keypoints"] = record["keypoints"].astype(float)
    record["labels"] = ["a", "b"]
    change(record)
    before = dict(record)
    state = random.getstate()
    with pytest.raises(error, match=word):
        getattr(kiro, op)(record, **kw)
    assert random.getstate() == state and all(record[k] is before[k] for k in before)


@pytest.mark.parametrize("op, kw", [("flip", dict(prob=1)), ("affine", dict(rotate=9)),
                                    ("perspective", {}), ("resize", dict(size=(1500, 2500))),
                                    ("scale_jitter", dict(size=(1200, 1200), scale=1.5))])
def test_pixel_work_runs_without_the_gil(op, kw):
    image = np.random.RandomState(0).randint(0, 256, (1200, 1800, 3)).astype(np.uint8)
    rec = {"image": image, "mask": image[..., 0].copy()}
    fn = getattr(kiro, op)
    assert python_turns_during(lambda: [fn(dict(rec), **kw) for _ in range(3)]) > 0


# ---- on the bundled sample, and in pipelines -------------------------------------------------------

def _iou_with_mask(record):
    mask_utils = pytest.importorskip("pycocotools.mask")
    h, w = record["mask"].shape
    ious = []
    for row, cls in zip(kiro.unpack_polygons(record["keypoints"]), [1, 2, 3]):
        if len(row) < 3:
            continue
        rle = mask_utils.frPyObjects([row.reshape(-1).astype(float).tolist()], h, w)
        poly = mask_utils.decode(mask_utils.merge(rle)).astype(bool)
        cls_mask = record["mask"] == cls
        ious.append((poly & cls_mask).sum() / max(1, (poly | cls_mask).sum()))
    return np.array(ious)


def test_rotation_keeps_polygons_on_their_objects():
    sample = kiro.data.load_sample()
    base = _iou_with_mask(sample)
    changes = []
    for seed in range(6):
        rec = kiro.data.load_sample()
        rec["keypoints"] = rec["keypoints"].astype(np.float64)
        random.seed(seed)
        out = kiro.affine(rec, rotate=[-15, 15])
        changes.append(np.abs(_iou_with_mask(out) - base))
    assert np.median(np.concatenate(changes)) < 0.01


def test_geometry_steps_in_a_yaml_pipeline():
    yaml = pytest.importorskip("yaml")
    text = """
- {op: flip, p: 0.5}
- {op: scale_jitter, size: [64, 64], scale: [0.5, 1.5]}
- {op: affine, rotate: [-10, 10], interpolation: cubic, min_visibility: 0.2}
- {op: crop, size: 48, position: objects}
- {op: resize, size: [32, 32], letterbox: true}
- {op: perspective, distortion: 0.05}
- {op: hsv_transform, fraction: 0.2}
"""
    pipe = kiro.Pipeline.from_config(yaml.safe_load(text))
    assert kiro.Pipeline(pipe.to_config()).to_config() == pipe.to_config()
    rec = record_of(polygon_set(1), labels=[("c", i) for i in range(24)])
    out = pipe(rec, seed=3)
    again = pipe(record_of(polygon_set(1), labels=[("c", i) for i in range(24)]), seed=3)
    assert out["image"].shape == (32, 32, 3)
    np.testing.assert_array_equal(out["image"], again["image"])
    np.testing.assert_array_equal(out["keypoints"], again["keypoints"])
    assert len(out["labels"]) == len(out["keypoints"])
    assert isinstance(pipe(np.zeros((40, 60, 3), np.uint8), seed=1), np.ndarray)


@pytest.mark.parametrize("step, word", [
    ({"op": "flip", "direction": "diagonal"}, "direction"),
    ({"op": "affine", "interpolation": "area"}, "interpolation"),
    ({"op": "crop", "size": [10, 0]}, "size"),
    ({"op": "crop", "size": 10, "position": "top"}, "position"),
    ({"op": "resize"}, "size"),
    ({"op": "scale_jitter", "size": 8, "scale": [0, 1]}, "scale"),
    ({"op": "perspective", "min_visibility": 2}, "min_visibility"),
])
def test_pipeline_refuses_bad_geometry_steps(step, word):
    with pytest.raises(kiro.PipelineError, match=word):
        kiro.Pipeline([step])
