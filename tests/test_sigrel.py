import random
import struct
import zlib

import numpy as np
import pytest

from conftest import replay
from kiro.core import KirO as K
from kiro.core import sigrel as S
from kiro.utils.caspen import caspen

# Geometry used throughout: a 100 x 200 image and a 50 x 100 watermark with
# size_ratio (0.5, 0.5) keep the watermark at its own size (re_h 50, re_w 100),
# so the jitter ranges are [0, 12] rows and [0, 25] columns.
H, W, RH, RW = 100, 200, 50, 100
OY, OX = 12, 25
RATIO = (0.5, 0.5)
ANCHORS = ["WATERMARK_UPLEFT", "WATERMARK_UP", "WATERMARK_UPRIGHT", "WATERMARK_CENTER",
           "WATERMARK_DOWNLEFT", "WATERMARK_DOWN", "WATERMARK_DOWNRIGHT"]
# Jitter draws per anchor: (rows, columns); None = no draw.
JITTER = {"WATERMARK_UPLEFT": (OY, OX), "WATERMARK_UP": (OY, None), "WATERMARK_UPRIGHT": (OY, OX),
          "WATERMARK_CENTER": (None, None), "WATERMARK_DOWNLEFT": (OY, OX), "WATERMARK_DOWN": (OY, None),
          "WATERMARK_DOWNRIGHT": (OY, OX)}


def top_left(anchor, draws):
    """Expected corner in the fixed geometry, given the anchor's jitter draws."""
    his = JITTER[anchor]
    dy = draws[0] if his[0] is not None else 0
    dx = draws[1] if his[1] is not None else 0
    return {"WATERMARK_UPLEFT": (dy, dx), "WATERMARK_UP": (dy, 50), "WATERMARK_UPRIGHT": (dy, 100 - dx),
            "WATERMARK_CENTER": (25, 50), "WATERMARK_DOWNLEFT": (50 - dy, dx),
            "WATERMARK_DOWN": (50 - dy, 50), "WATERMARK_DOWNRIGHT": (50 - dy, 100 - dx)}[anchor]


def canvas(value=0, shape=(H, W, 3), dtype=np.uint8):
    return np.full(shape, value, dtype)


def plain_mark(value=200, shape=(RH, RW, 3)):
    return np.full(shape, value, np.uint8)


def painted_box(out, value=200):
    ys, xs = np.nonzero((out == value).all(axis=2))
    return ys.min(), xs.min(), ys.max() + 1, xs.max() + 1


def jitter_draws(r, his):
    return [r.randint(0, hi) for hi in his if hi is not None]


def seed_where(want, his, size_draw=RW):
    """A seed whose jitter draws (after the gate and the size draw) equal `want`."""
    for seed in range(100000):
        r = random.Random(seed)
        r.random()
        r.randint(size_draw, size_draw)
        if jitter_draws(r, his) == want:
            return seed
    raise AssertionError("no seed found")


def write_ppm(path, bgr):
    h, w = bgr.shape[:2]
    path.write_bytes(b"P6\n%d %d\n255\n" % (w, h) + np.ascontiguousarray(bgr[:, :, ::-1]).tobytes())
    return str(path)


def write_png_bgra(path, bgra):
    h, w = bgra.shape[:2]
    rgba = np.ascontiguousarray(bgra[:, :, [2, 1, 0, 3]])
    raw = b"".join(b"\x00" + rgba[y].tobytes() for y in range(h))

    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF)

    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
                     + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))
    return str(path)


# ---- placement -----------------------------------------------------------

@pytest.mark.parametrize("anchor", ANCHORS)
@pytest.mark.parametrize("extreme", ["zero", "max"])
def test_anchor_corners_with_extreme_draws(anchor, extreme):
    his = JITTER[anchor]
    want = [0 if extreme == "zero" else hi for hi in his if hi is not None]
    seed = seed_where(want, his)
    random.seed(seed)
    out = S.sigrel(canvas(), plain_mark(), getattr(K, anchor), K.FIT_PASTE, 1.0, RATIO)
    top, left = top_left(anchor, want)
    assert painted_box(out) == (top, left, top + RH, left + RW)
    assert random.getstate() == replay(seed, [lambda r: r.random(), lambda r: r.randint(RW, RW)]
                                       + [lambda r, hi=hi: r.randint(0, hi) for hi in his if hi is not None])


@pytest.mark.parametrize("seed", range(12))
def test_random_anchor_draws_one_of_seven_then_its_jitter(seed):
    r = random.Random(seed)
    r.random()
    r.randint(RW, RW)
    value = r.randint(1, 7)
    anchor = next(a for a in ANCHORS if getattr(K, a) == value)
    top, left = top_left(anchor, jitter_draws(r, JITTER[anchor]))
    random.seed(seed)
    out = S.sigrel(canvas(), plain_mark(), size_ratio=RATIO)  # default position and method
    assert painted_box(out) == (top, left, top + RH, left + RW)
    assert random.getstate() == r.getstate()


@pytest.mark.parametrize("seed", range(6))
def test_random_all_draws_top_then_left(seed):
    r = random.Random(seed)
    r.random()
    r.randint(RW, RW)
    top, left = r.randint(0, H - RH), r.randint(0, W - RW)
    random.seed(seed)
    out = S.sigrel(canvas(), plain_mark(), K.WATERMARK_RANDOM_ALL, K.FIT_PASTE, 1.0, RATIO)
    assert painted_box(out) == (top, left, top + RH, left + RW)
    assert random.getstate() == r.getstate()


# A watermark spanning (almost) a whole side: the jitter pushes it out, the
# rectangle is moved back inside.
@pytest.mark.parametrize("img_shape,wm_shape,size_draw,size", [
    ((100, 100, 3), (100, 99, 3), 100, (100, 99)),     # full height, jitter up to 25 rows
    ((100, 1000, 3), (100, 101, 3), 1000, (99, 99)),   # height capped to img_h - 1
])
@pytest.mark.parametrize("anchor,corner", [
    ("WATERMARK_UPLEFT", lambda ih, iw, rh, rw: (rh // 4, rw // 4)),
    ("WATERMARK_DOWNRIGHT", lambda ih, iw, rh, rw: (ih - rh - rh // 4, iw - rw - rw // 4)),
    ("WATERMARK_DOWN", lambda ih, iw, rh, rw: (ih - rh - rh // 4, iw // 2 - rw // 2)),
])
@pytest.mark.parametrize("method", ["FIT_PASTE", "FIT_NORMAL"])
def test_rectangle_is_kept_inside_the_image(img_shape, wm_shape, size_draw, size, anchor, corner, method):
    (ih, iw), (re_h, re_w) = img_shape[:2], size
    his = (re_h // 4, re_w // 4 if anchor != "WATERMARK_DOWN" else None)
    random.seed(seed_where([hi for hi in his if hi is not None], his, size_draw))  # maximal push
    img = np.random.RandomState(0).randint(0, 100, img_shape).astype(np.uint8)
    out = S.sigrel(img, plain_mark(200, wm_shape), getattr(K, anchor), getattr(K, method), 1.0, (1.0, 1.0))
    assert out.shape == img_shape
    top, left = corner(ih, iw, re_h, re_w)
    top, left = min(max(top, 0), ih - re_h), min(max(left, 0), iw - re_w)
    if method == "FIT_PASTE":
        assert painted_box(out) == (top, left, top + re_h, left + re_w)
    else:
        changed = (out != img).any(axis=2)
        assert changed.any()
        changed[top:top + re_h, left:left + re_w] = False
        assert not changed.any()


def test_watermark_larger_than_image_is_refused():
    with pytest.raises(ValueError, match="does not fit"):
        S.sigrel(canvas(), plain_mark(shape=(100, 50, 3)), K.WATERMARK_CENTER, K.FIT_PASTE, 1.0, (3, 3))


# ---- sources and draw order ----------------------------------------------

@pytest.mark.parametrize("kind", ["array", "path", "pattern", "list"])
def test_draw_order_per_source_kind(kind, tmp_path):
    colours = {"b.ppm": 40, "a.ppm": 90, "c.ppm": 150}
    paths = {n: write_ppm(tmp_path / n, plain_mark(v)) for n, v in colours.items()}
    listed = [paths["c.ppm"], paths["a.ppm"], paths["b.ppm"]]
    source = {"array": plain_mark(90), "path": paths["a.ppm"], "pattern": str(tmp_path / "*.ppm"),
              "list": listed}[kind]
    r = random.Random(5)
    r.random()
    chosen = 90
    if kind == "pattern":
        chosen = colours[r.choice(sorted(paths.values())).rsplit("/", 1)[1]]
    elif kind == "list":
        chosen = colours[r.choice(listed).rsplit("/", 1)[1]]
    r.randint(RW, RW)
    dy, dx = r.randint(0, OY), r.randint(0, OX)
    random.seed(5)
    out = S.sigrel(canvas(), source, K.WATERMARK_UPLEFT, K.FIT_PASTE, 1.0, RATIO)
    assert random.getstate() == r.getstate()
    assert painted_box(out, chosen) == (dy, dx, dy + RH, dx + RW)


@pytest.mark.parametrize("source", [lambda p: (p,), lambda p: 7, lambda p: None, lambda p: {p: 1}])
def test_wrong_watermark_kind_after_the_gate(source, tmp_path):
    path = write_ppm(tmp_path / "w.ppm", plain_mark())
    img = canvas(3)
    with pytest.raises(Exception) as e:
        S.sigrel(img, source(path))
    assert type(e.value) is Exception
    assert str(e.value) == ("Wrong watermark type, it should be one of str picture path, str folder path "
                            "which contains '*.[extension]', list picture path or numpy ndarray.")
    assert random.getstate() == replay(1234, [lambda r: r.random()])
    assert (img == 3).all()


def test_unmatched_pattern(tmp_path):
    with pytest.raises(Exception) as e:
        S.sigrel(canvas(), str(tmp_path / "*.png"))
    assert type(e.value) is Exception and str(e.value) == "No image found, check dictionary."


@pytest.mark.parametrize("make,error", [
    (lambda d: str(d / "missing.png"), FileNotFoundError),
    (lambda d: (d / "junk.png").write_bytes(b"not an image") and str(d / "junk.png"), ValueError),
])
def test_file_errors(make, error, tmp_path):
    with pytest.raises(error):
        S.sigrel(canvas(), make(tmp_path))


# ---- transparency ----------------------------------------------------------

def alpha_mark():
    """BGRA 50 x 100: colour (10, 128, 129); alpha columns 0 | 1 | 128 | 255 in stripes of 25."""
    wm = np.zeros((RH, RW, 4), np.uint8)
    wm[:, :, :3] = (10, 128, 129)
    for i, a in enumerate((0, 1, 128, 255)):
        wm[:, 25 * i:25 * (i + 1), 3] = a
    return wm


@pytest.mark.parametrize("from_file", [False, True])
def test_alpha_zero_shows_the_image_everything_else_the_colour(from_file, tmp_path):
    src = write_png_bgra(tmp_path / "wm.png", alpha_mark()) if from_file else alpha_mark()
    img = canvas(77)
    out = S.sigrel(img, src, K.WATERMARK_CENTER, K.FIT_PASTE, 1.0, RATIO)
    rect = out[25:75, 50:150]
    assert (rect[:, :25] == 77).all()
    assert (rect[:, 25:] == (10, 128, 129)).all()  # unblended, alpha 1 included
    assert (np.delete(out, np.s_[25:75], axis=0) == 77).all()


@pytest.mark.parametrize("thresh,shown", [(128, (False, False, True)), (127.5, (False, True, True)),
                                          (9, (True, True, True)), (200, (False, False, False))])
def test_thresh_ignores_alpha_and_works_per_element(thresh, shown):
    img = canvas(77)
    out = S.sigrel(img, alpha_mark(), K.WATERMARK_CENTER, K.FIT_PASTE, 1.0, RATIO, thresh)
    expect = [c if s else 77 for c, s in zip((10, 128, 129), shown)]
    assert (out[25:75, 50:150] == expect).all()


@pytest.mark.parametrize("wm", [
    np.tile(np.array([9, 9, 9, 0], np.uint8), (RH, 1)),  # 2 axes, 4 columns: grey, no alpha
    plain_mark(0),                                        # 3 channels, value 0: still opaque
])
def test_watermark_without_alpha_covers_its_rectangle(wm):
    out = S.sigrel(canvas(77), wm, K.WATERMARK_CENTER, K.FIT_PASTE, 1.0, RATIO)
    rows, cols = RH, wm.shape[1] if wm.ndim == 2 else RW
    top, left = H // 2 - rows // 2, W // 2 - cols // 2
    expect = wm if wm.ndim == 3 else np.repeat(wm[:, :, None], 3, axis=2)
    assert (out[top:top + rows, left:left + cols] == expect).all()


def test_alpha_is_resized_with_the_watermark():
    wm = alpha_mark()
    img = canvas(77)
    random.seed(3)
    out = S.sigrel(img, wm, K.WATERMARK_CENTER, K.FIT_PASTE, 1.0, (0.3, 0.3))
    random.seed(3)
    random.random()
    scaled, re_h, re_w = caspen(img, wm, (0.3, 0.3))
    top, left = H // 2 - re_h // 2, W // 2 - re_w // 2
    rect = out[top:top + re_h, left:left + re_w]
    opaque = rect[:, :, 1] == 128
    assert 0 < opaque.sum() < opaque.size
    assert (rect[opaque] == scaled[opaque]).all()
    assert (rect[~opaque] == 77).all()


# ---- in place / new array -------------------------------------------------

@pytest.mark.parametrize("layout", ["contiguous", "strided", "reversed", "fortran"])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32, np.float64])
@pytest.mark.parametrize("mode", ["opaque", "thresh", "alpha"])
def test_paste_writes_into_the_callers_array(layout, dtype, mode):
    base = canvas(5, (2 * H, 2 * W, 3), dtype)
    img = {"contiguous": canvas(5, dtype=dtype), "strided": base[::2, ::2],
           "reversed": canvas(5, dtype=dtype)[::-1, :, ::-1], "fortran": np.asfortranarray(canvas(5, dtype=dtype))}[layout]
    wm = (np.arange(RH * RW * 4).reshape(RH, RW, 4) % 251).astype(dtype)
    wm[:, :30, 3] = 0
    wm[:, 30:, 3] = 1
    thresh = 120 if mode == "thresh" else None
    out = S.sigrel(img, wm if mode == "alpha" else wm[:, :, :3], K.WATERMARK_CENTER, K.FIT_PASTE, 1.0, RATIO, thresh)
    assert out is img
    rect, colour = img[25:75, 50:150], wm[:, :, :3]
    if mode == "opaque":
        assert (rect == colour).all()
    elif mode == "thresh":
        assert (rect == np.where(colour > 120, colour, 5)).all()
    else:
        assert (rect[:, :30] == 5).all() and (rect[:, 30:] == colour[:, 30:]).all()
    img[25:75, 50:150] = 5
    assert (img == 5).all()


@pytest.mark.parametrize("channels", [1, 4, 5])
@pytest.mark.parametrize("thresh", [None, 100])
def test_paste_on_any_channel_count(channels, thresh):
    img = canvas(7, (H, W, channels))
    wm = np.zeros((RH, RW, 4), np.uint8)
    wm[:, :, :] = (150, 50, 160, 255)
    wm[:, :30, 3] = 0
    out = S.sigrel(img, wm, K.WATERMARK_CENTER, K.FIT_PASTE, 1.0, RATIO, thresh)
    assert out is img
    scaled = caspen(img, wm, RATIO)[0]
    rect = img[25:75, 50:150]
    if thresh is None:  # alpha: whole pixels
        assert (rect[:, :30] == 7).all() and (rect[:, 30:] == scaled[:, 30:]).all()
    else:
        assert (rect == np.where(scaled > thresh, scaled, 7)).all()


@pytest.mark.parametrize("method", ["FIT_NORMAL", "FIT_MIX", "FIT_MONO"])
@pytest.mark.parametrize("mask", ["opaque", "thresh", "alpha"])
def test_cloning_returns_a_new_array_changed_only_in_the_rectangle(method, mask, image):
    img = np.ascontiguousarray(np.repeat(np.repeat(image, 2, 0), 3, 1)[:H, :W])
    before = img.copy()
    wm = np.random.RandomState(1).randint(0, 256, (RH, RW, 4)).astype(np.uint8)
    wm[:, :, 3] = 0
    wm[10:40, 20:80, 3] = 255
    out = S.sigrel(img, wm if mask == "alpha" else wm[:, :, :3], K.WATERMARK_CENTER, getattr(K, method), 1.0,
                   RATIO, 100 if mask == "thresh" else None)
    assert out is not img and (img == before).all()
    assert out.shape == img.shape and out.dtype == np.uint8
    changed = (out != before).any(axis=2)
    assert changed[25:75, 50:150].any()
    # the clone covers the mask's opaque area, centred on the rectangle's centre (100, 50)
    rows, cols = (slice(35, 65), slice(70, 130)) if mask == "alpha" else (slice(25, 75), slice(50, 150))
    changed[rows, cols] = False
    assert not changed.any()


@pytest.mark.parametrize("method", ["FIT_NORMAL", "FIT_MIX", "FIT_MONO"])
@pytest.mark.parametrize("img", [np.zeros((H, W, 4), np.uint8), np.zeros((H, W, 1), np.uint8),
                                 np.zeros((H, W, 3), np.float32)])
def test_cloning_refuses_other_images_after_all_draws(method, img):
    random.seed(9)
    with pytest.raises(ValueError, match="seamless cloning"):
        S.sigrel(img, plain_mark(), K.WATERMARK_UPLEFT, getattr(K, method), 1.0, RATIO)
    assert random.getstate() == replay(9, [lambda r: r.random(), lambda r: r.randint(RW, RW),
                                           lambda r: r.randint(0, OY), lambda r: r.randint(0, OX)])
    assert not img.any()


def test_read_only_image_with_paste():
    img = canvas(4)
    img.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        S.sigrel(img, plain_mark(), K.WATERMARK_CENTER, K.FIT_PASTE, 1.0, RATIO)
    assert (img == 4).all()


@pytest.mark.parametrize("method", ["FIT_NORMAL", "FIT_MIX", "FIT_MONO"])
@pytest.mark.parametrize("case", ["tiny", "one_opaque_pixel", "nothing_opaque"])
def test_small_or_empty_clone_areas(method, case):
    img = np.random.RandomState(2).randint(0, 256, (H, W, 3)).astype(np.uint8)
    if case == "tiny":  # a 2 x 4 watermark
        wm, ratio, thresh = plain_mark(shape=(RH, RW, 3)), (0.02, 0.02), None
    elif case == "one_opaque_pixel":
        wm, ratio, thresh = np.zeros((RH, RW, 4), np.uint8), RATIO, None
        wm[20, 40, 3] = 255
    else:
        wm, ratio, thresh = plain_mark(100), RATIO, 200
    # no opaque box with an inside: every pixel is boundary, the image comes back unchanged
    out = S.sigrel(img, wm, K.WATERMARK_CENTER, getattr(K, method), 1.0, ratio, thresh)
    assert out is not img and (out == img).all()


# ---- gate, methods, messages ---------------------------------------------

@pytest.mark.parametrize("prob,acts", [(0.0, False), (1.0, True)])
def test_gate(prob, acts):
    img = canvas()
    out = S.sigrel(img, "no such file", prob=prob) if not acts else \
        S.sigrel(img, plain_mark(), K.WATERMARK_CENTER, K.FIT_NORMAL, prob, RATIO)
    assert (out is img) != acts
    if not acts:
        assert random.getstate() == replay(1234, [lambda r: r.random()]) and not img.any()


@pytest.mark.parametrize("seed", range(10))
def test_fit_random_picks_a_method_by_its_last_draw(seed):
    img = np.random.RandomState(seed).randint(0, 256, (H, W, 3)).astype(np.uint8)
    wm = np.random.RandomState(seed + 50).randint(0, 256, (RH, RW, 3)).astype(np.uint8)
    r = random.Random(seed)
    for d in (r.random, lambda: r.randint(RW, RW), lambda: r.randint(0, OY), lambda: r.randint(0, OX)):
        d()
    method = r.randint(1, 4)
    random.seed(seed)
    got = S.sigrel(img.copy(), wm, K.WATERMARK_DOWNLEFT, K.FIT_RANDOM, 1.0, RATIO)
    assert random.getstate() == r.getstate()
    random.seed(seed)
    direct = img.copy()
    want = S.sigrel(direct, wm, K.WATERMARK_DOWNLEFT, method, 1.0, RATIO)
    assert (want is direct) == (method == K.FIT_PASTE)
    assert (got == want).all()


@pytest.mark.parametrize("position,method,message,draws", [
    (0, K.FIT_PASTE, "Wrong watermark_position value. See kiro.core.KirO for parameters.",
     [lambda r: r.random(), lambda r: r.randint(RW, RW)]),
    ("center", K.FIT_PASTE, "Wrong watermark_position value. See kiro.core.KirO for parameters.",
     [lambda r: r.random(), lambda r: r.randint(RW, RW)]),
    (K.WATERMARK_UPRIGHT, 0, "Wrong fit_method value. See kiro.core.KirO for parameters.",
     [lambda r: r.random(), lambda r: r.randint(RW, RW), lambda r: r.randint(0, OY), lambda r: r.randint(0, OX)]),
    (K.WATERMARK_DOWN, "paste", "Wrong fit_method value. See kiro.core.KirO for parameters.",
     [lambda r: r.random(), lambda r: r.randint(RW, RW), lambda r: r.randint(0, OY)]),
])
def test_unknown_position_or_method_after_their_draws(position, method, message, draws):
    img = canvas(6)
    with pytest.raises(Exception) as e:
        S.sigrel(img, plain_mark(), position, method, 1.0, RATIO)
    assert type(e.value) is Exception and str(e.value) == message
    assert random.getstate() == replay(1234, draws)
    assert (img == 6).all()


def test_names_are_read_at_call_time(monkeypatch):
    calls = []

    def spy(image, image2, size_ratio):
        calls.append((image, image2, size_ratio))
        return caspen(image, image2, size_ratio)

    monkeypatch.setattr(S, "caspen", spy)
    monkeypatch.setattr(S, "FIT_MIX", 42)
    img, wm = canvas(1), plain_mark()
    out = S.sigrel(img, wm, K.WATERMARK_CENTER, 42, 1.0, RATIO)
    assert len(calls) == 1 and calls[0][0] is img and calls[0][1] is wm and calls[0][2] == RATIO
    assert out is not img  # 42 now names mixed cloning


@pytest.mark.parametrize("thresh", ["128", [1]])
def test_thresh_must_be_a_number(thresh):
    with pytest.raises(TypeError, match="thresh"):
        S.sigrel(canvas(), plain_mark(), K.WATERMARK_CENTER, K.FIT_PASTE, 1.0, RATIO, thresh)


@pytest.mark.parametrize("img,error", [(np.zeros((H, W), np.uint8), ValueError), ([[0]], TypeError),
                                       (np.zeros((H, W, 3), object), TypeError)])
def test_image_must_be_a_three_axis_array(img, error):
    with pytest.raises(error, match="image"):
        S.sigrel(img, plain_mark())
