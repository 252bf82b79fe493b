import json
import os

import numpy as np
import pytest

from kiro import cli, datasets
from kiro.datasets._trace import outer_polygons

from dataset_samples import HEIGHT, WIDTH, make_coco, make_yolo

mask_utils = pytest.importorskip("pycocotools.mask")


def _inside(polygon, x, y):
    """Even-odd test of point (x, y) against a closed polygon."""
    hit = False
    for (x0, y0), (x1, y1) in zip(polygon, np.roll(polygon, -1, axis=0)):
        if (y0 > y) != (y1 > y) and x < x0 + (y - y0) * (x1 - x0) / (y1 - y0):
            hit = not hit
    return hit


def _covered(polygons, shape):
    return np.array([[any(_inside(p, x + 0.5, y + 0.5) for p in polygons) for x in range(shape[1])]
                     for y in range(shape[0])])


def _ring():
    m = np.zeros((9, 9), bool)
    m[1:8, 1:8] = True
    filled = m.copy()
    m[3:6, 3:6] = False
    return m, filled, 1


def _diagonal():
    m = np.zeros((6, 6), bool)
    m[1:3, 1:3] = m[3:5, 3:5] = True
    return m, m, 2


def _staircase():
    m = np.tril(np.ones((7, 8), bool), 1)
    m[0, :] = False
    return m, m, 1


def _blobs():
    rng = np.random.default_rng(3)
    m = rng.random((12, 14)) > 0.55
    return m, None, None


@pytest.mark.parametrize("make", [_ring, _diagonal, _staircase, _blobs])
def test_traced_outlines_cover_the_pixels_and_fill_holes(make):
    mask, filled, count = make()
    polygons = outer_polygons(mask)
    covered = _covered(polygons, mask.shape)
    if filled is not None:
        np.testing.assert_array_equal(covered, filled)
        assert len(polygons) == count
    else:
        assert (covered | ~mask).all()  # every pixel inside an outline
    for p in polygons:  # vertices on the pixel grid, axis-aligned sides
        assert (p == np.round(p)).all() and (np.diff(np.vstack([p, p[:1]]), axis=0) == 0).any(axis=1).all()


def _rle(pixels):
    rle = mask_utils.encode(np.asfortranarray(pixels.astype(np.uint8)))
    return {"size": [HEIGHT, WIDTH], "counts": rle["counts"].decode()}


def _write_json(path, data):
    with open(path, "w") as f:
        json.dump(data, f)


@pytest.mark.parametrize("crowd", [0, None, 1])
def test_rle_instance_stays_an_instance(crowd, tmp_path):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    data = make_coco(src, count=2)
    pixels = np.zeros((HEIGHT, WIDTH), bool)
    pixels[50:66, 60:80] = True
    pixels[55:60, 66:72] = False  # a hole
    ann = {"id": 900, "image_id": 11, "category_id": 2, "segmentation": _rle(pixels), "note": "mine"}
    if crowd is not None:
        ann["iscrowd"] = crowd
    data["annotations"].append(ann)
    _write_json(os.path.join(src, "annotations.json"), data)
    record = datasets.load(src, "coco")[1][1]
    assert ((2, 900) in record["labels"]) == (not crowd) and ("mask" in record) == bool(crowd)
    report = datasets.multiply(src, dst, [], format="coco", workers=1)
    assert report.skipped == 0 and not report.dropped
    out = json.load(open(os.path.join(dst, "annotations.json")))
    image_id = [im["id"] for im in out["images"] if im["file_name"] == "img01_k0.png"][0]
    written = [a for a in out["annotations"] if a["image_id"] == image_id and a["category_id"] == 2
               and a["bbox"][0] >= 59]
    assert len(written) == 1 and written[0]["iscrowd"] == (1 if crowd else 0)
    if not crowd:
        seg = written[0]["segmentation"]
        assert isinstance(seg, list) and written[0]["note"] == "mine"
        drawn = mask_utils.decode(mask_utils.merge(mask_utils.frPyObjects(seg, HEIGHT, WIDTH))).astype(bool)
        outer = pixels.copy()
        outer[55:60, 66:72] = True
        assert (drawn & outer).sum() / (drawn | outer).sum() > 0.9


@pytest.mark.parametrize("segmentation,kept,dropped", [
    ([[10.0, 10.0, 20.0, 10.0]], 0, "fewer than 3 points"),
    ([[10.0, 10.0, 20.0, 20.0, 30.0, 30.0]], 0, "zero area"),
    ([[10.0, 10.0, 20.0, 10.0, 20.0, 20.0], [5.0, 5.0]], 1, "fewer than 3 points"),
    ([[10.0, 10.0, 20.0, 10.0, 20.0, 20.0]], 1, None),
])
def test_degenerate_coco_polygon_costs_only_itself(segmentation, kept, dropped, tmp_path, capsys):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    data = make_coco(src, count=2)
    data["annotations"].append({"id": 901, "image_id": 10, "category_id": 1, "segmentation": segmentation,
                                "iscrowd": 0, "area": 1.0, "bbox": [0, 0, 1, 1]})
    _write_json(os.path.join(src, "annotations.json"), data)
    assert cli.main(["multiply", src, dst, "--pipeline", _empty_pipeline(tmp_path), "--workers", "1"]) == 0
    assert ("annotation dropped" in capsys.readouterr().out) == bool(dropped)
    saved = json.load(open(os.path.join(dst, "kiro_report.json")))
    assert saved["counts"]["skipped"] == 0 and saved["counts"]["written"] == 2
    assert saved["counts"]["annotations_dropped"] == (1 if dropped else 0)
    if dropped:
        assert saved["dropped"][0]["sample"] == "images/img00.png"
        assert "annotation 901" in saved["dropped"][0]["reason"] and dropped in saved["dropped"][0]["reason"]
    out = json.load(open(os.path.join(dst, "annotations.json")))
    polys = [a for a in out["annotations"] if a["image_id"] == 1 and a["bbox"][:2] == [10.0, 10.0]]
    assert len(polys) == kept
    # The image's other objects (two polygons, a crowd region) are written.
    assert len([a for a in out["annotations"] if a["image_id"] == 1]) == 3 + kept


def _empty_pipeline(tmp_path):
    path = str(tmp_path / "pipe.json")
    _write_json(path, [])
    return path


def _yolo_with_line(tmp_path, line):
    src = str(tmp_path / "src")
    make_yolo(src, count=1)
    with open(os.path.join(src, "labels", "img00.txt"), "a") as f:
        f.write(line + "\n")
    return src


@pytest.mark.parametrize("line,extra,dropped", [
    ("2 0.5 0.75 0.25 0.125", 1, 0),
    ("2 0.5 0.75", 0, 1),
    ("2 0.5 0.75 0.25 0.0", 0, 1),
    ("2 0.1 0.1 0.2 0.2 0.3 0.3", 0, 1),
])
def test_yolo_box_is_an_object_and_degenerate_line_is_dropped(line, extra, dropped, tmp_path):
    src, dst = _yolo_with_line(tmp_path, line), str(tmp_path / "dst")
    report = datasets.multiply(src, dst, [], format="yolo", workers=2)
    assert (report.written, report.skipped, len(report.dropped)) == (1, 0, dropped)
    if dropped:
        assert "labels/img00.txt line 3" in report.dropped[0]["reason"]
    lines = open(os.path.join(dst, "labels", "img00_k0.txt")).read().splitlines()
    assert len(lines) == 2 + extra
    if extra:
        cx, cy, w, h = map(float, line.split()[1:])
        corners = np.array(lines[-1].split()[1:], float).reshape(-1, 2)
        expected = [(cx - w / 2, cy - h / 2), (cx + w / 2, cy - h / 2), (cx + w / 2, cy + h / 2),
                    (cx - w / 2, cy + h / 2)]
        np.testing.assert_allclose(sorted(map(tuple, corners)), sorted(expected), atol=1e-5)


@pytest.mark.parametrize("line,reason", [
    ("2 0.5 nan 0.25 0.125", "NaN"),
    ("2 0.5 0.75 4.0", "odd number"),
    ("2 0.5 9.0", "outside"),
    ("7 0.5 0.75 0.25 0.125", "unknown class"),
])
def test_suspect_yolo_line_still_skips_the_sample(line, reason, tmp_path):
    src = _yolo_with_line(tmp_path, line)
    error = datasets.load(src, "yolo")[0][1]
    assert isinstance(error, datasets.SampleError) and reason in error.reason
