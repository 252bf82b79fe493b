"""copy_paste and mosaic: pasted labels on their pixels, covered polygons cut
exactly, draws replayed, refusals before anything changes."""

import math
import random

import numpy as np
import pytest

import kiro
from conftest import replay

shapely = pytest.importorskip("shapely")
from shapely import ops  # noqa: E402
from shapely.geometry import Polygon, box  # noqa: E402

ref_ops = pytest.importorskip("ref_geometry_ops")

GREY = 128


def drawn(w, h, objects, seed=0):
    """Record whose objects (label, colour, N x 2 polygon) are filled in their colours."""
    rng = np.random.RandomState(seed)
    image = np.clip(GREY + rng.randint(-6, 7, (h, w, 3)), 0, 255).astype(np.uint8)
    mask = np.zeros((h, w), np.uint8)
    for k, (label, colour, poly) in enumerate(objects):
        inside = raster([poly], w, h)
        image[inside] = colour
        mask[inside] = k + 1
    return {"image": image, "mask": mask, "keypoints": kiro.pack_polygons([o[2] for o in objects], dtype=float),
            "labels": [o[0] for o in objects]}


def raster(polys, w, h):
    """Pixels whose centres lie inside any polygon (continuous coordinates)."""
    from shapely import contains_xy

    yy, xx = np.mgrid[0:h, 0:w] + 0.5
    out = np.zeros((h, w), bool)
    for p in polys:
        out |= contains_xy(Polygon(p), xx, yy)
    return out


def square(x0, y0, x1, y1):
    return np.array([[x0, y0], [x1, y0], [x1, y1], [x0, y1]], float)


TARGET = [("t1", (0, 0, 255), square(10, 10, 110, 90)), ("t2", (0, 255, 255), square(120, 20, 150, 60))]
DONOR = [(("d", 1), (0, 255, 0), square(20, 20, 60, 60)),
         (("d", 2), (255, 0, 0), np.array([[70, 10], [95, 40], [70, 70]], float)),
         (("d", 3), (255, 0, 255), square(5, 75, 30, 95))]


def target():
    return drawn(160, 100, TARGET)


def donor():
    return drawn(100, 100, DONOR, seed=1)


def draws(seed, n, scale=(0.5, 1.5), objects=None, sw=None):
    """Replay of copy_paste's draws for a 160 x 100 target and a 100 x 100 donor."""
    r = random.Random(seed)
    r.random()
    s = r.uniform(*scale) if isinstance(scale, tuple) else scale
    mirrored = r.random() < 0.5
    side = max(1, int(math.floor(100 * s + 0.5)))
    ox, oy = r.uniform(-side, 160), r.uniform(-side, 100)
    k = r.randint(1, n) if objects is None else min(objects, n)
    chosen = sorted(r.sample(range(n), k))
    return r, s, mirrored, side, int(math.floor(ox)), int(math.floor(oy)), chosen


def by_label(record):
    polys, labels = kiro.unpack_polygons(record["keypoints"], record["labels"])
    groups = {}
    for p, lab in zip(polys, labels):
        groups.setdefault(lab, []).append(Polygon(p))
    return {k: ops.unary_union(v) for k, v in groups.items()}


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("blend", ["hard", "gaussian", "seamless"])
def test_pasted_labels_sit_on_their_pixels_and_cover_the_target(seed, blend):
    random.seed(seed)
    out = kiro.copy_paste(target(), donor(), prob=1, blend=blend, min_visibility=0.0)
    r, s, mirrored, side, ox, oy, chosen = draws(seed, 3)
    assert random.getstate() == r.getstate()
    groups = by_label(out)
    pasted = [DONOR[i] for i in chosen]
    frame = box(0, 0, 160, 100)
    union = ops.unary_union([groups[lab] for lab, _, _ in pasted if lab in groups])
    f = side / 100.0

    def placed(poly):
        xs = (side - poly[:, 0] * f) if mirrored else poly[:, 0] * f
        return Polygon(np.c_[xs + ox, poly[:, 1] * f + oy])

    for c, i in enumerate(chosen):
        label, colour, poly = DONOR[i]
        want = placed(poly).intersection(frame)
        for j in chosen[c + 1:]:  # objects pasted later cover this one
            want = want.difference(placed(DONOR[j][2]))
        if want.area < 2:
            continue
        got = groups[label]
        assert got.symmetric_difference(want).area < 0.01 * want.area + 1e-6
        if blend == "hard":
            parts = getattr(got, "geoms", [got])
            inside = raster([np.asarray(g.exterior.coords) for g in parts], 160, 100)
            share = (np.abs(out["image"][inside].astype(int) - colour).sum(axis=1) < 30).mean()
            assert share > 0.9
    # No target polygon claims what a pasted object covers.
    for label in ("t1", "t2"):
        if label in groups:
            assert groups[label].intersection(union).area < 1e-3
    assert len(out["labels"]) == len(out["keypoints"])


def test_mask_classes_follow_the_pasted_objects():
    random.seed(2)
    out = kiro.copy_paste(target(), donor(), prob=1, objects=3, scale=1.0, min_visibility=0.0)
    groups = by_label(out)
    for k, (label, _, _) in enumerate(DONOR):
        if label in groups and groups[label].area > 20:
            inside = raster([np.asarray(g.exterior.coords) for g in getattr(groups[label], "geoms", [groups[label]])],
                            160, 100)
            assert (out["mask"][inside] == label[1]).mean() > 0.95  # the tuple label's category


def test_min_visibility_drops_covered_targets_whole_and_skips_pasted_slivers():
    big = drawn(100, 100, [(("d", 7), (0, 255, 0), square(0, 0, 100, 100))], seed=3)
    outcomes = set()
    for seed in range(40):
        tgt = drawn(100, 100, [("small", (0, 0, 255), square(40, 40, 60, 60)), ("far", (9, 9, 9), square(0, 0, 1, 1))])
        random.seed(seed)
        out = kiro.copy_paste(tgt, big, prob=1, scale=1.0, min_visibility=0.5, min_area=0)
        r = random.Random(seed)
        r.random(), r.random()
        ox, oy = math.floor(r.uniform(-100, 100)), math.floor(r.uniform(-100, 100))
        placed = box(ox, oy, ox + 100, oy + 100)
        pasted = placed.intersection(box(0, 0, 100, 100)).area >= 0.5 * 10000
        small_left = Polygon(square(40, 40, 60, 60)).difference(placed).area if pasted else 400
        assert (("d", 7) in out["labels"]) == pasted
        assert ("small" in out["labels"]) == (small_left >= 0.5 * 400)
        outcomes.add((pasted, small_left >= 200))
    assert {(True, False), (False, True)} <= outcomes


def test_mask_only_donor_is_traced_and_polygon_donor_rasterised():
    d = donor()
    mask_donor = {"image": d["image"], "mask": d["mask"]}
    random.seed(4)
    out = kiro.copy_paste(target(), mask_donor, prob=1, scale=1.0, objects=3, min_visibility=0.0)
    traced = [lab for lab in out["labels"] if lab not in ("t1", "t2")]
    assert traced and set(traced) <= {1, 2, 3}
    t_only_mask = target()
    del t_only_mask["keypoints"], t_only_mask["labels"]
    random.seed(4)
    out = kiro.copy_paste(t_only_mask, donor(), prob=1, scale=1.0, objects=3, min_visibility=0.0)
    assert "keypoints" not in out and set(np.unique(out["mask"])) - {0, 1, 2} <= {3}


def test_pixels_away_from_the_pasted_objects_stay():
    for blend in ("hard", "gaussian", "seamless"):
        t = target()
        before = t["image"].copy()
        random.seed(11)
        out = kiro.copy_paste(t, donor(), prob=1, blend=blend, scale=1.0, objects=1, min_visibility=0.0)
        changed = np.any(out["image"] != before, axis=2)
        pasted = [lab for lab in out["labels"] if lab not in ("t1", "t2")]
        if not pasted:
            assert not changed.any()
            continue
        g = by_label(out)[pasted[0]]
        x0, y0, x1, y1 = g.bounds
        ys, xs = np.nonzero(changed)
        margin = 6
        assert xs.min() >= x0 - margin and xs.max() <= x1 + margin
        assert ys.min() >= y0 - margin and ys.max() <= y1 + margin


def test_gate_and_empty_donors_leave_the_target():
    t = target()
    before = {k: v for k, v in t.items()}
    random.seed(5)
    u = random.Random(5).random()
    random.seed(5)
    assert kiro.copy_paste(t, donor(), prob=u) is t
    assert all(t[k] is before[k] for k in before)
    assert random.getstate() == replay(5, [lambda r: r.random()])
    bare = {"image": donor()["image"]}
    random.seed(5)
    out = kiro.copy_paste(t, bare, prob=1)
    assert all(out[k] is before[k] for k in before)


@pytest.mark.parametrize("kw, error, word", [
    (dict(blend="soft"), ValueError, "blend"),
    (dict(scale=0), ValueError, "scale"),
    (dict(objects=-1), ValueError, "objects"),
    (dict(objects=[3, 1]), ValueError, "objects"),
    (dict(min_visibility=2), ValueError, "min_visibility"),
    (dict(sigma=0, blend="gaussian"), ValueError, "sigma"),
])
def test_copy_paste_refuses_bad_arguments_before_drawing(kw, error, word):
    t = target()
    state = random.getstate()
    with pytest.raises(error, match=word):
        kiro.copy_paste(t, donor(), prob=1, **kw)
    assert random.getstate() == state


def test_grey_and_bgra_donors_take_the_target_channels():
    d = donor()
    grey = {"image": np.ascontiguousarray(d["image"][..., 1]), "keypoints": d["keypoints"], "labels": d["labels"]}
    bgra = {"image": np.dstack([d["image"], np.full((100, 100), 255, np.uint8)]), "keypoints": d["keypoints"],
            "labels": d["labels"]}
    for seed in range(20):  # a placement that pastes something
        random.seed(seed)
        from_bgr = kiro.copy_paste(target(), d, prob=1, objects=3, scale=1.0, min_visibility=0)
        pasted = np.any(from_bgr["image"] != target()["image"], axis=2)
        if pasted.any():
            break
    random.seed(seed)
    from_grey = kiro.copy_paste(target(), grey, prob=1, objects=3, scale=1.0, min_visibility=0)
    random.seed(seed)
    from_bgra = kiro.copy_paste(target(), bgra, prob=1, objects=3, scale=1.0, min_visibility=0)
    np.testing.assert_array_equal(from_bgra["image"], from_bgr["image"])
    assert pasted.any()
    g = from_grey["image"][pasted]
    assert (g[:, 0] == g[:, 1]).all() and (g[:, 1] == g[:, 2]).all()  # grey pixels, as BGR
    np.testing.assert_array_equal(from_grey["mask"], from_bgr["mask"])


def test_copy_paste_refuses_what_it_cannot_paste():
    grey = {"image": np.zeros((50, 50), np.uint8), "mask": np.zeros((50, 50), np.uint8)}
    with pytest.raises(TypeError, match="8-bit"):
        kiro.copy_paste(target(), {"image": np.zeros((9, 9, 3), np.uint16), "mask": np.ones((9, 9), np.uint8)},
                        prob=1)
    with pytest.raises(ValueError, match="seamless"):
        kiro.copy_paste(dict(grey), dict(grey), prob=1, blend="seamless")
    with pytest.raises(ValueError, match="class"):
        t = target()
        kiro.copy_paste(t, drawn(50, 50, [(300, (1, 2, 3), square(1, 1, 20, 20))]), prob=1)


# ---- mosaic ---------------------------------------------------------------------------------------------

def mosaic_records(seed):
    rng = np.random.RandomState(seed)
    recs = []
    for i in range(4):
        h, w = int(rng.randint(40, 120)), int(rng.randint(40, 120))
        polys = []
        for _ in range(3):
            cx, cy, r = rng.uniform(0, w), rng.uniform(0, h), rng.uniform(5, 30)
            t = np.sort(rng.uniform(0, 2 * np.pi, 7))
            rad = r * rng.uniform(0.4, 1, 7)
            polys.append(np.c_[cx + rad * np.cos(t), cy + rad * np.sin(t)])
        recs.append({"image": rng.randint(0, 256, (h, w, 3)).astype(np.uint8),
                     "mask": rng.randint(0, 4, (h, w)).astype(np.uint8),
                     "keypoints": kiro.pack_polygons(polys), "labels": ["%d-%d" % (i, j) for j in range(3)]})
    return recs


@pytest.mark.parametrize("seed", range(5))
def test_mosaic_labels_and_pixels_match_the_quadrants(seed):
    recs = mosaic_records(seed)
    originals = [{k: (v.copy() if hasattr(v, "copy") else v) for k, v in r.items()} for r in recs]
    size = (90, 130)
    random.seed(seed)
    out = kiro.mosaic(recs, size=size, min_area=0)
    assert out is recs[0]
    r = random.Random(seed)
    r.random()
    cx = int(math.floor(r.uniform(0.25, 0.75) * 130 + 0.5))
    cy = int(math.floor(r.uniform(0.25, 0.75) * 90 + 0.5))
    assert random.getstate() == r.getstate()
    groups = by_label(out)
    for i, rec in enumerate(originals):
        h, w = rec["image"].shape[:2]
        qx0, qx1 = (0, cx) if i % 2 == 0 else (cx, 130)
        qy0, qy1 = (0, cy) if i < 2 else (cy, 90)
        s = max((qx1 - qx0) / w, (qy1 - qy0) / h)
        nw, nh = max(qx1 - qx0, int(math.floor(w * s + 0.5))), max(qy1 - qy0, int(math.floor(h * s + 0.5)))
        ox = cx - nw if i % 2 == 0 else cx
        oy = cy - nh if i < 2 else cy
        resized = ref_ops.resize(rec["image"], nw, nh, 1)
        np.testing.assert_array_equal(out["image"][qy0:qy1, qx0:qx1], resized[qy0 - oy:qy1 - oy, qx0 - ox:qx1 - ox])
        quad = box(qx0, qy0, qx1, qy1)
        for j, p in enumerate(kiro.unpack_polygons(rec["keypoints"])):
            want = Polygon(np.c_[p[:, 0] * nw / w + ox, p[:, 1] * nh / h + oy]).intersection(quad)
            got = groups.get("%d-%d" % (i, j))
            if want.area == 0:
                assert got is None
                continue
            assert got.symmetric_difference(want).area <= 1e-3 * want.area + 1e-6


def test_mosaic_refusals():
    recs = mosaic_records(0)
    with pytest.raises(ValueError, match="4 sample records"):
        kiro.mosaic(recs[:3], size=64)
    recs[2]["image"] = recs[2]["image"].astype(np.float32)
    with pytest.raises(ValueError, match="records\\[2\\]"):
        kiro.mosaic(recs, size=64)
    recs = mosaic_records(0)
    del recs[1]["mask"]
    with pytest.raises(ValueError, match="mask"):
        kiro.mosaic(recs, size=64)
    with pytest.raises(ValueError, match="center"):
        kiro.mosaic(mosaic_records(0), size=64, center=[0.5, 1.5])


@pytest.mark.parametrize("seed", range(6))
def test_pasted_raster_is_the_pixel_centre_rule(seed):
    # The pasted pixels (and mask class) are exactly those whose centres lie
    # inside the placed polygon.
    poly = np.array([[20.3, 20.7], [59.6, 24.2], [50.1, 61.4], [18.8, 44.9]])
    d = drawn(100, 100, [((9, 1), (0, 255, 0), poly)], seed=5)
    t = {"image": np.full((100, 160, 3), GREY, np.uint8), "mask": np.zeros((100, 160), np.uint8)}
    random.seed(seed)
    out = kiro.copy_paste(t, d, prob=1, scale=[0.7, 1.3], min_visibility=0)
    r, s, mirrored, side, ox, oy, chosen = draws(seed, 1, scale=(0.7, 1.3))
    f = side / 100.0
    xs = (side - poly[:, 0] * f) if mirrored else poly[:, 0] * f
    want = raster([np.c_[xs + ox, poly[:, 1] * f + oy]], 160, 100)
    np.testing.assert_array_equal(out["mask"] == 9, want)
