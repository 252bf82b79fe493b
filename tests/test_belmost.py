import random
import re
import struct
import zlib

import numpy as np
import pytest
from conftest import replay

import kiro.core.KirO as K
from kiro.core.belmost import belmost
from kiro.core.trevane import trevane
from kiro.utils.kp2mask import kp2mask

NO_LABEL = "No type of label is found, it should either be keypoints, mask or both"
WRONG_SOURCE = ("Wrong other_img type, it should be one of str picture path, str folder path which "
                "contaions '*.[extension]', list picture path or numpy ndarray.")
WRONG_COVER = "Wrong cover_position value. See kiro.core.KirO for parameters."
WRONG_FIT = "Wrong fit_method value. See kiro.core.KirO for parameters."
WRONG_RATIO = "Wrong type of size_ratio, it should be tuple or list."
CLONES = [K.FIT_NORMAL, K.FIT_MIX, K.FIT_MONO]

# A 21 x 21 patch (size_ratio 0.21 of a 100-pixel side, no resampling) is larger
# than the object in both directions, so the changed pixels span the patch.
SRC = np.full((21, 21, 3), 200, np.uint8)
RATIO = (0.21, 0.21)


def png(arr):
    """PNG bytes of a grey, BGR or BGRA uint8 array (decoded back to the same array)."""
    a = np.asarray(arr, np.uint8)
    kind = {2: 0, 3: 2, 4: 6}[a.ndim if a.ndim == 2 else a.shape[2]]
    if a.ndim == 3:
        a = a[:, :, [2, 1, 0, 3][:a.shape[2]]]
    raw = b"".join(b"\0" + row.tobytes() for row in a.reshape(a.shape[0], -1))

    def chunk(tag, body):
        return struct.pack(">I", len(body)) + tag + body + struct.pack(">I", zlib.crc32(tag + body))
    head = struct.pack(">IIBBBBB", a.shape[1], a.shape[0], 8, kind, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", head) + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")


def light(r):
    a, b = r.uniform(0.8, 0.98), r.uniform(1.02, 1.2)
    s = r.choice([a, b])
    c, d = r.uniform(-10, -5), r.uniform(5, 10)
    return s, r.choice([c, d])


def lit(values, s, t):
    return np.clip(np.asarray(values, np.float64) * s + t, 0, 255).astype(np.uint8)


def axis(any_, n):
    idx = np.flatnonzero(any_).tolist()
    return idx if len(idx) >= 2 else [0, n]


def place(r, mode, m, h, w):
    """Expected (w_cover, h_cover) of a placement mode, drawn from r."""
    H, W = m.shape
    ah, aw = axis(m.any(1), H), axis(m.any(0), W)
    if mode == K.COPY_INTER:
        return r.randint(max(aw[1] - w - 1, 0), min(W - w, aw[-1])), r.randint(max(ah[0] - h - 1, 0), min(H - h, ah[-1]))
    if mode == K.OCCLUSION_INTER:
        return r.randint(max(aw[0] - w, 0), min(W - w, aw[-1])), r.randint(max(ah[0] - h, 0), min(H - h, ah[-1]))
    if mode in (K.COPY_MASK_EDGE, K.OCCLUSION_EDGDE):
        if r.random() < 0.5:
            a = r.randint(max(aw[0] - w, 0), min(W - w, aw[0]))
            b = r.randint(max(aw[-1] - w, 0), min(W - w, aw[-1]))
            return r.choice([a, b]), r.randint(max(ah[0] - h, 0), min(H - h, ah[-1]))
        x = r.randint(max(aw[1] - w, 0), min(W - w, aw[-1]))
        a = r.randint(max(ah[0] - h, 0), min(H - h, ah[0]))
        b = r.randint(max(ah[-1] - h, 0), min(H - h, ah[-1]))
        return x, r.choice([a, b])
    if mode == K.COPY_IMAGE_EDGE:
        if r.random() < 0.5:
            return r.choice([0, W - w]), r.randint(0, H - h)
        return r.randint(0, W - w), r.choice([0, H - h])
    return r.randint(0, W - w), r.randint(0, H - h)


def masks():
    gap = np.zeros((100, 100), np.uint8)
    gap[30:45, 40] = 3
    gap[30:45, 45:60] = 1  # columns 40, 45..59: the second column is 45
    row = np.zeros((100, 100), np.uint8)
    row[50, 20:35] = 2  # a single row: rows count as [0, H]
    col = np.zeros((100, 100), np.uint8)
    col[10:25, 70] = 1
    return {"gap": gap, "empty": np.zeros((100, 100), np.uint8), "row": row, "col": col}


def paste_rect(op, mode, mask, seed):
    """Run op with FIT_PASTE of SRC on a black image; return (out, x, y)."""
    random.seed(seed)
    rec = {"image": np.zeros((100, 100, 3), np.uint8), "mask": mask.copy()}
    out = op(rec, 1.0, mode, K.FIT_PASTE, SRC, 0, RATIO)["image"]
    ys, xs = np.nonzero(out.any(2))
    return out, xs.min(), ys.min()


@pytest.mark.parametrize("op,mode", [(belmost, K.COPY_INTER), (belmost, K.COPY_MASK_EDGE),
                                     (belmost, K.COPY_IMAGE_EDGE), (belmost, K.COPY_RANDOM),
                                     (trevane, K.OCCLUSION_INTER), (trevane, K.OCCLUSION_EDGDE),
                                     (trevane, K.OCCLUSION_RANDOM)])
@pytest.mark.parametrize("kind", ["gap", "empty", "row", "col"])
def test_placement_and_light_replay(op, mode, kind):
    mask = masks()[kind]
    for seed in range(40):
        out, x, y = paste_rect(op, mode, mask, seed)
        r = random.Random(seed)
        r.random()
        r.randint(21, 21)  # caspen's size draw
        s, t = light(r)
        assert (x, y) == place(r, mode, mask, 21, 21)
        assert random.getstate() == r.getstate()
        inside = np.zeros((100, 100), bool)
        inside[y:y + 21, x:x + 21] = True
        hidden = mask != 0 if op is belmost else np.zeros_like(inside)
        assert np.array_equal(out.any(2), inside & ~hidden)
        assert (out[inside & ~hidden] == lit(200, s, t)).all()


@pytest.mark.parametrize("op,mode,kind,xs,ys", [
    (belmost, K.COPY_INTER, "gap", (23, 59), (8, 44)),   # second column 45, minus w, minus 1
    (trevane, K.OCCLUSION_INTER, "gap", (19, 59), (9, 44)),
    (belmost, K.COPY_INTER, "empty", (78, 79), (0, 79)),  # extent [0, W]: right border
    (belmost, K.COPY_INTER, "row", (0, 34), (0, 79)),
    (belmost, K.COPY_RANDOM, "gap", (0, 79), (0, 79)),
])
def test_placement_bounds(op, mode, kind, xs, ys):
    seen = np.array([paste_rect(op, mode, masks()[kind], seed)[1:] for seed in range(400)])
    assert (seen[:, 0].min(), seen[:, 0].max()) == xs
    assert (seen[:, 1].min(), seen[:, 1].max()) == ys


def test_image_edge_touches_border():
    seen = [paste_rect(belmost, K.COPY_IMAGE_EDGE, masks()["gap"], s)[1:] for s in range(100)]
    assert all(x in (0, 79) or y in (0, 79) for x, y in seen)
    assert any(x in (0, 79) and y not in (0, 79) for x, y in seen)
    assert any(y in (0, 79) and x not in (0, 79) for x, y in seen)


@pytest.mark.parametrize("op", [belmost, trevane])
@pytest.mark.parametrize("size_ratio", [(0.2, 0.5), [0.1, 0.3, 9.0]])
def test_own_image_draws_and_patch(op, record, size_ratio):
    image = record["image"]
    mode = K.COPY_RANDOM if op is belmost else K.OCCLUSION_RANDOM
    for seed in range(10):
        random.seed(seed)
        out = op(dict(record), 1.0, mode, K.FIT_PASTE, None, 0, size_ratio)["image"]
        r = random.Random(seed)
        r.random()
        h = r.randint(int(60 * size_ratio[0]), int(60 * size_ratio[1]))
        w = r.randint(int(80 * size_ratio[0]), int(80 * size_ratio[1]))
        wc, hc = r.randint(0, 80 - w), r.randint(0, 60 - h)
        s, t = light(r)
        x, y = r.randint(0, 80 - w), r.randint(0, 60 - h)
        assert random.getstate() == r.getstate()
        want = image.copy()
        region = want[y:y + h, x:x + w]
        keep = record["mask"][y:y + h, x:x + w] != 0 if op is belmost else np.zeros((h, w), bool)
        region[~keep] = lit(image[hc:hc + h, wc:wc + w], s, t)[~keep]
        assert np.array_equal(out, want)


@pytest.mark.parametrize("op", [belmost, trevane])
@pytest.mark.parametrize("kind", ["path", "pattern", "list"])
def test_file_sources(op, kind, tmp_path):
    colours = {"b.png": 90, "a.png": 60, "c.png": 120}
    for name, v in colours.items():
        (tmp_path / name).write_bytes(png(np.full((21, 21, 3), v, np.uint8)))
    files = sorted(str(tmp_path / n) for n in colours)
    source = {"path": files[2], "pattern": str(tmp_path / "*.png"), "list": files[::-1]}[kind]
    mode = K.COPY_RANDOM if op is belmost else K.OCCLUSION_RANDOM
    for seed in range(6):
        random.seed(seed)
        rec = {"image": np.zeros((100, 100, 3), np.uint8), "mask": np.zeros((100, 100), np.uint8)}
        out = op(rec, 1.0, mode, K.FIT_PASTE, source, 0, RATIO)["image"]
        r = random.Random(seed)
        r.random()
        chosen = files[2] if kind == "path" else r.choice(files if kind == "pattern" else files[::-1])
        r.randint(21, 21)
        s, t = light(r)
        x, y = r.randint(0, 79), r.randint(0, 79)
        assert random.getstate() == r.getstate()
        v = colours[chosen.rsplit("/", 1)[-1]]
        assert (out[y:y + 21, x:x + 21] == lit(v, s, t)).all() and out.any(2).sum() == 21 * 21


@pytest.mark.parametrize("op", [belmost, trevane])
@pytest.mark.parametrize("source,error,text", [
    (("x.png",), Exception, WRONG_SOURCE), ("{}/none*.png", Exception, "No image found, check dictionary."),
    ("{}/missing.png", FileNotFoundError, "missing.png"), ("{}/junk.png", ValueError, "junk.png"),
    ([], IndexError, None), (5, Exception, WRONG_SOURCE)])
def test_source_errors_leave_record(op, record, tmp_path, source, error, text):
    (tmp_path / "junk.png").write_bytes(b"not an image")
    if isinstance(source, str):
        source = source.format(tmp_path)
    image, mask = record["image"], record["mask"].copy()
    with pytest.raises(error, match=text and re.escape(text)) as e:
        op(record, 1.0, image_source=source)
    if error is Exception:
        assert type(e.value) is Exception
    assert record["image"] is image and np.array_equal(record["mask"], mask)


@pytest.mark.parametrize("fit", [K.FIT_PASTE] + CLONES)
@pytest.mark.parametrize("mode", [K.COPY_INTER, K.COPY_MASK_EDGE, K.COPY_IMAGE_EDGE, K.COPY_RANDOM])
def test_underlay_keeps_object_pixels(record, fit, mode):
    objects = record["mask"] != 0
    changed = 0
    for seed in range(8):
        random.seed(seed)
        rec = dict(record)
        try:
            out = belmost(rec, 1.0, mode, fit)["image"]
        except RuntimeError:  # the clone area left the image
            assert rec["image"] is record["image"]
            continue
        assert out is not record["image"] and out.shape == record["image"].shape
        assert np.array_equal(out[objects], record["image"][objects])
        changed += (out != record["image"]).any()
    assert changed >= 4


def test_small_clone_area_clones_whole_patch():
    # Every patch is object except possibly one background row: cloned whole, object put back.
    rng = np.random.RandomState(3)
    image = rng.randint(0, 256, (60, 60, 3)).astype(np.uint8)
    mask = np.ones((60, 60), np.uint8)
    mask[30] = 0
    hit = 0
    for seed in range(20):
        random.seed(seed)
        out = belmost({"image": image, "mask": mask}, 1.0, K.COPY_RANDOM, K.FIT_NORMAL, size_ratio=(0.3, 0.4))["image"]
        assert np.array_equal(out[mask == 1], image[mask == 1])
        hit += (out[30] != image[30]).any()
    assert hit >= 3


@pytest.mark.parametrize("op", [belmost, trevane])
@pytest.mark.parametrize("fit", [K.FIT_PASTE] + CLONES)
def test_transparent_source_keeps_image(op, fit):
    image = np.random.RandomState(5).randint(0, 256, (100, 100, 3)).astype(np.uint8)
    rec = {"image": image, "mask": masks()["gap"]}
    source = np.dstack([SRC, np.zeros((21, 21), np.uint8)])
    out = op(rec, 1.0, fit_method=fit, image_source=source, size_ratio=RATIO)["image"]
    assert out is not image and np.array_equal(out, image)


@pytest.mark.parametrize("op", [belmost, trevane])
def test_alpha_zero_shows_image_any_other_alpha_the_patch(op):
    rec = {"image": np.zeros((100, 100, 3), np.uint8), "mask": np.zeros((100, 100), np.uint8)}
    alpha = np.ones((21, 21), np.uint8)
    alpha[:, :10] = 0
    mode = K.COPY_RANDOM if op is belmost else K.OCCLUSION_RANDOM
    out = op(rec, 1.0, mode, K.FIT_PASTE, np.dstack([SRC, alpha]), 0, RATIO)["image"]
    ys, xs = np.nonzero(out.any(2))
    assert xs.max() - xs.min() + 1 == 11 and ys.max() - ys.min() + 1 == 21 and len(xs) == 11 * 21


@pytest.mark.parametrize("op", [belmost, trevane])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32])
def test_grey_source_four_wide_is_opaque(op, dtype):
    rec = {"image": np.zeros((100, 100, 3), np.uint8)[:, ::-1], "mask": np.zeros((100, 100), np.uint8)}
    mode = K.COPY_RANDOM if op is belmost else K.OCCLUSION_RANDOM
    random.seed(12)
    out = op(rec, 1.0, mode, K.FIT_PASTE, np.full((20, 4), 100.7, dtype), 0, (0.2, 0.2))["image"]
    r = random.Random(12)
    r.random(), r.randint(20, 20)
    s, t = light(r)
    assert out.any(2).sum() == 20 * 4 and (out[out.any(2)] == lit(dtype(100.7), s, t)).all()


@pytest.mark.parametrize("op", [belmost, trevane])
@pytest.mark.parametrize("rec,error", [({"image": np.zeros((4, 4, 3), np.uint8)}, Exception),
                                       ({"mask": np.zeros((4, 4), np.uint8)}, KeyError)])
def test_label_and_image_checked_before_gate(op, rec, error):
    state = random.getstate()
    with pytest.raises(error) as e:
        op(rec, 0)
    assert random.getstate() == state
    if error is Exception:
        assert type(e.value) is Exception and str(e.value) == NO_LABEL


@pytest.mark.parametrize("op", [belmost, trevane])
def test_gate_skips_after_one_draw(op, record):
    before = {k: v.copy() for k, v in record.items()}
    random.seed(11)
    assert op(record, 0, image_source=(1,), size_ratio="x") is record
    assert random.getstate() == replay(11, [lambda r: r.random()])
    assert all(np.array_equal(record[k], before[k]) for k in before)


@pytest.mark.parametrize("size_ratio", ["ab", 3, None, {0: 0.2, 1: 0.3}])
def test_size_ratio_type_checked_after_gate(record, size_ratio):
    random.seed(2)
    with pytest.raises(Exception) as e:
        belmost(record, 1.0, size_ratio=size_ratio)
    assert type(e.value) is Exception and str(e.value) == WRONG_RATIO
    assert random.getstate() == replay(2, [lambda r: r.random()])


@pytest.mark.parametrize("op", [belmost, trevane])
@pytest.mark.parametrize("bad", [np.zeros((60, 80), np.uint8), np.zeros((60, 80, 4), np.uint8),
                                 np.zeros((60, 80, 3), np.float32), np.zeros((60, 81, 3), np.uint8)])
def test_sample_image_refused_before_further_draws(op, record, bad):
    rec = dict(record, image=bad)
    random.seed(4)
    with pytest.raises(ValueError, match="image"):
        op(rec, 1.0, fit_method=K.FIT_PASTE)
    assert random.getstate() == replay(4, [lambda r: r.random()]) and rec["image"] is bad


@pytest.mark.parametrize("op,mode", [(belmost, K.COPY_RANDOM), (trevane, K.OCCLUSION_RANDOM)])
@pytest.mark.parametrize("fit", [0, 6, "FIT_PASTE", None])
def test_unknown_fit_method_after_placement(op, mode, fit, record):
    image, mask = record["image"], record["mask"].copy()
    random.seed(8)
    with pytest.raises(Exception) as e:
        op(record, 1.0, mode, fit, SRC, 0, (0.2, 0.3))
    assert type(e.value) is Exception and str(e.value) == WRONG_FIT
    r = random.Random(8)
    r.random()
    h = r.randint(12, 18)  # caspen: height branch of the square source
    light(r)
    r.randint(0, 80 - h), r.randint(0, 60 - h)
    assert random.getstate() == r.getstate()
    assert record["image"] is image and np.array_equal(record["mask"], mask)


@pytest.mark.parametrize("op,mode", [(belmost, K.OCCLUSION_RANDOM), (trevane, K.COPY_INTER), (belmost, "x")])
def test_unknown_cover_position_before_placement(op, mode, record):
    random.seed(9)
    with pytest.raises(Exception) as e:
        op(record, 1.0, mode, K.FIT_PASTE, SRC, 0, (0.2, 0.3))
    assert type(e.value) is Exception and str(e.value) == WRONG_COVER
    assert random.getstate() == replay(9, [lambda r: r.random(), lambda r: r.randint(12, 18), light])


@pytest.mark.parametrize("op", [belmost, trevane])
def test_fit_random_is_one_more_draw(op, record):
    for seed in range(6):
        random.seed(seed)
        op(dict(record), 1.0, fit_method=K.FIT_PASTE, size_ratio=(0.3, 0.5))
        drawn = random.randint(1, 4)
        after = random.getstate()
        random.seed(seed)
        want = op(dict(record), 1.0, fit_method=drawn, size_ratio=(0.3, 0.5))["image"]
        random.seed(seed)
        got = op(dict(record), 1.0, fit_method=K.FIT_RANDOM, size_ratio=(0.3, 0.5))["image"]
        assert random.getstate() == after and np.array_equal(got, want)


@pytest.mark.parametrize("op", [belmost, trevane])
def test_background_value_and_caller_mask(op):
    mask = np.full((100, 100), 255, np.uint8)
    mask[30:45, 40:50], mask[30:45, 50:60] = 1, 2
    rec = {"image": np.zeros((100, 100, 3), np.uint8), "mask": mask}
    mode = K.COPY_INTER if op is belmost else K.OCCLUSION_INTER
    for seed in range(20):
        random.seed(seed)
        out = op(rec, 1.0, mode, K.FIT_PASTE, SRC, 255, RATIO)["image"]
        ys, xs = np.nonzero(out.any(2))
        assert rec["mask"] is mask and set(np.unique(mask)) == {1, 2, 255}
        assert 19 <= xs.min() <= 59 and 8 <= ys.min() <= 44  # placed by the extent of 1 and 2
        assert op is trevane or not out[mask != 255].any()


@pytest.mark.parametrize("op,mode", [(belmost, K.COPY_MASK_EDGE), (trevane, K.OCCLUSION_EDGDE)])
def test_keypoints_only_record(op, mode):
    keypoints = np.array([[40, 30, 59, 30, 59, 44, 40, 44]], np.int32)
    mask = kp2mask({"image": np.zeros((100, 100, 3), np.uint8), "keypoints": keypoints}, one_class_only=True)
    for seed in range(10):
        random.seed(seed)
        rec = {"image": np.zeros((100, 100, 3), np.uint8), "keypoints": keypoints}
        out = op(rec, 1.0, mode, K.FIT_PASTE, SRC, 0, RATIO)["image"]
        r = random.Random(seed)
        r.random(), r.randint(21, 21), light(r)
        x, y = place(r, mode, mask, 21, 21)
        ys, xs = np.nonzero(out.any(2))
        assert (xs.min(), ys.min()) == (x, y) and "mask" not in rec
        assert op is trevane or not out[mask != 0].any()


@pytest.mark.parametrize("op,mode", [(belmost, K.COPY_RANDOM), (trevane, K.OCCLUSION_RANDOM)])
def test_light_change_exact_on_every_value(op, mode):
    image = np.dstack([np.tile(np.arange(261) % 256, (8, 1))] * 3).astype(np.uint8)
    image[:, :, 1] = image[:, ::-1, 1]
    for seed in range(300):
        random.seed(seed)
        out = op({"image": image, "mask": np.zeros((8, 261), np.uint8)}, 1.0, mode, K.FIT_PASTE, None, 0, (1, 1))
        r = random.Random(seed)
        r.random(), r.randint(8, 8), r.randint(261, 261), r.randint(0, 0), r.randint(0, 0)
        assert np.array_equal(out["image"], lit(image, *light(r)))


def test_patch_wider_than_image_is_refused(record):
    image = record["image"]
    for seed in range(8):
        random.seed(seed)
        with pytest.raises(ValueError):
            belmost(record, 1.0, K.COPY_IMAGE_EDGE, K.FIT_PASTE, np.zeros((10, 30, 3), np.uint8), 0, (1.5, 1.5))
        assert record["image"] is image


@pytest.mark.parametrize("op", [belmost, trevane])
@pytest.mark.parametrize("fit,error", [(K.FIT_PASTE, None), (K.FIT_NORMAL, RuntimeError)])
def test_empty_patch(op, fit, error):
    image = np.random.RandomState(1).randint(0, 256, (3, 14, 3)).astype(np.uint8)
    rec = {"image": image, "mask": np.eye(3, 14, dtype=np.uint8)}
    random.seed(0)  # patch height trunc(3 * 0.1) = 0
    if error:
        with pytest.raises(error):
            op(rec, 1.0, fit_method=fit, size_ratio=(0.1, 0.1))
        assert rec["image"] is image
    else:
        out = op(rec, 1.0, fit_method=fit, size_ratio=(0.1, 0.1))["image"]
        assert out is not image and np.array_equal(out, image)
