"""Masks folders and stem lists (VOC's layout), and LabelMe folders."""

import base64
import json
import os
import pickle

import numpy as np
import pytest

import kiro
from kiro import datasets
from kiro.cli import main
from kiro.datasets import _files
from kiro.datasets.run import _clone

from dataset_samples import HEIGHT, WIDTH, _encode, _write, draw, shapes

FLIP = [{"op": "flip", "direction": "horizontal", "prob": 1.0}]
LIST = "ImageSets/Segmentation/train.txt"


def _voc(root, count=4, listed=(0, 2, 3)):
    """A VOCdevkit-like set; every image has a mask, only `listed` ones are in the list."""
    for i in range(count):
        image, mask = draw(shapes(i))
        _write(os.path.join(root, "JPEGImages", "2007_%06d.png" % i), _encode(image))
        _write(os.path.join(root, "SegmentationClass", "2007_%06d.png" % i), _encode(mask))
    stems = ["2007_%06d" % i for i in listed]
    _write(os.path.join(root, LIST), ("\n".join(stems) + "\n").encode())
    return stems


def _pipeline(tmp_path, steps):
    path = str(tmp_path / "pipeline.json")
    with open(path, "w") as f:
        json.dump(steps, f)
    return path


@pytest.mark.parametrize("workers, keep_original", [(1, False), (2, True)])
def test_voc_layout_runs_as_it_is(tmp_path, workers, keep_original):
    src, dst = str(tmp_path / "VOC2012"), str(tmp_path / "out")
    stems = _voc(src)
    args = ["multiply", src, dst, "--format", "masks", "--images", "JPEGImages", "--masks", "SegmentationClass",
            "--list", LIST, "--pipeline", _pipeline(tmp_path, FLIP), "--copies", "2", "--workers", str(workers), "-q"]
    assert main(args + (["--keep-original"] if keep_original else [])) == 0
    written = [s for stem in stems for s in ([stem] if keep_original else []) + [stem + "_k0", stem + "_k1"]]
    with open(os.path.join(dst, LIST)) as f:
        assert f.read().split() == written
    assert sorted(os.listdir(os.path.join(dst, "JPEGImages"))) == sorted(s + ".png" for s in written)
    assert sorted(os.listdir(os.path.join(dst, "SegmentationClass"))) == sorted(s + ".png" for s in written)
    for name in written:
        source = _files.read_mask(os.path.join(src, "SegmentationClass", name.split("_k")[0] + ".png"))
        got = _files.read_mask(os.path.join(dst, "SegmentationClass", name + ".png"))
        np.testing.assert_array_equal(got, source if "_k" not in name else source[:, ::-1])
    assert not os.path.exists(os.path.join(dst, "images"))


def test_resume_with_another_layout_is_refused(tmp_path):
    src, dst = str(tmp_path / "VOC2012"), str(tmp_path / "out")
    _voc(src)
    args = ["multiply", src, dst, "--format", "masks", "--images", "JPEGImages", "--masks", "SegmentationClass",
            "--pipeline", _pipeline(tmp_path, FLIP), "--workers", "1", "-q"]
    assert main(args + ["--list", LIST]) == 0
    assert main(args + ["--list", LIST, "--resume"]) == 0
    assert main(args + ["--resume"]) != 0  # the whole folder, not the listed stems


def test_layout_reaches_load_open_workers_and_preview(tmp_path):
    src = str(tmp_path / "voc")
    stems = _voc(src, listed=(3, 1))
    layout = dict(images="JPEGImages", masks="SegmentationClass", list_file=LIST)
    loaded = datasets.load(src, **layout)  # the layout options are the masks format's
    assert [ref["name"] for ref, _ in loaded] == stems
    source = pickle.loads(pickle.dumps(datasets.open(src, "masks", **layout)))
    assert len(source) == len(stems)
    for (ref, record), k in zip(loaded, range(len(stems))):
        np.testing.assert_array_equal(source[k]["mask"], record["mask"])
    steps = [{"op": "copy_paste", "prob": 1.0}, FLIP[0]]
    report = datasets.multiply(src, str(tmp_path / "dst"), steps, format="masks", copies=1, workers=2, **layout)
    assert (report.read, report.written, report.skipped, report.donors_skipped) == (2, 2, 0, 0)
    assert datasets.preview(src, steps, str(tmp_path / "sheet.png"), format="masks", samples=2, copies=1,
                            **layout) == []


@pytest.mark.parametrize("options, fmt", [
    (dict(images="../elsewhere"), "masks"),
    (dict(list_file="missing.txt"), "masks"),
    (dict(images="JPEGImages"), "yolo"),
    (dict(images="JPEGImages"), "labelme"),
])
def test_bad_layouts_are_refused_before_any_work(tmp_path, options, fmt):
    src, dst = str(tmp_path / "voc"), str(tmp_path / "dst")
    _voc(src)
    os.makedirs(os.path.join(src, "images"))
    with pytest.raises(datasets.RefusedError):
        datasets.multiply(src, dst, FLIP, format=fmt, workers=1, **options)
    assert not os.path.exists(os.path.join(dst, "kiro_report.json"))


def test_listed_stem_without_image_or_mask_is_reported(tmp_path):
    src, dst = str(tmp_path / "voc"), str(tmp_path / "dst")
    _voc(src)
    os.remove(os.path.join(src, "SegmentationClass", "2007_000002.png"))
    outside = str(tmp_path / "val.txt")
    _write(outside, b"2007_000000\n2007_000002\nnot_there\n")
    report = datasets.multiply(src, dst, FLIP, format="masks", images="JPEGImages", masks="SegmentationClass",
                               list_file=outside, workers=1)
    assert (report.read, report.written) == (1, 1)
    assert sorted((os.path.basename(f["sample"]), f["kind"]) for f in report.failures) == \
        [("2007_000002.png", "malformed annotation"), ("not_there", "unreadable image")]
    with open(os.path.join(dst, "val.txt")) as f:
        assert f.read().split() == ["2007_000000_k0"]


# LabelMe files in the tool's documented schema (version, flags, shapes, imagePath, imageData,
# imageHeight, imageWidth; a shape has label, points, group_id, shape_type, flags).
UNCARRIED = [("circle", [[70, 60], [74, 60]]), ("line", [[2, 2], [20, 5]]), ("linestrip", [[2, 2], [9, 9], [20, 5]]),
             ("point", [[40, 40]])]


def _shape(label, points, kind="polygon", group=None):
    return {"label": label, "points": [[float(x), float(y)] for x, y in points], "group_id": group,
            "description": "", "shape_type": kind, "flags": {}}


def _labelme_shapes(i):
    """(shapes, carried (label, group, N x 2 points)) of image i."""
    out, carried = [], []
    for category, flat in shapes(i):
        points = np.asarray(flat, np.float64).reshape(-1, 2)
        out.append(_shape("class%d" % category, points, group=7 if category < 3 else None))
        carried.append(("class%d" % category, 7 if category < 3 else None, points))
    out.append(_shape("box", [[60, 44], [90, 66]], "rectangle"))
    carried.append(("box", None, np.array([[60, 44], [90, 44], [90, 66], [60, 66]], np.float64)))
    kind, points = UNCARRIED[i % len(UNCARRIED)]
    out.append(_shape("skip", points, kind))
    return out, carried


def _labelme(root, count=3, embed=(), width=WIDTH):
    expected = {}
    for i in range(count):
        image, _ = draw(shapes(i))
        data, name = _encode(image), "img%02d.png" % i
        if i not in embed:
            _write(os.path.join(root, "sub", name), data)
        doc_shapes, expected["sub/img%02d" % i] = _labelme_shapes(i)
        doc = {"version": "5.4.1", "flags": {"checked": True}, "shapes": doc_shapes, "imagePath": name,
               "imageData": base64.b64encode(data).decode("ascii"), "imageHeight": HEIGHT,
               "imageWidth": width if i == 1 else WIDTH}
        _write(os.path.join(root, "sub", "img%02d.json" % i), json.dumps(doc, indent=2).encode())
    return expected


def _rows(record):
    polygons, labels = kiro.unpack_polygons(record["keypoints"], record["labels"])
    return [(tuple(label), np.asarray(p, np.float64)) for p, label in zip(polygons, labels)]


@pytest.mark.parametrize("embed", [(), (0, 2)], ids=["files", "embedded"])
def test_labelme_reads_polygons_rectangles_and_groups(tmp_path, embed):
    src = str(tmp_path / "src")
    expected = _labelme(src, embed=embed)
    loaded = datasets.load(src)  # found by its JSON files
    assert [ref["name"] for ref, _ in loaded] == sorted(expected)
    for ref, record in loaded:
        want = expected[ref["name"]]
        assert record["image"].shape == (HEIGHT, WIDTH, 3)
        rows = _rows(record)
        assert [label for label, _ in rows] == [(label, group) for label, group, _ in want]
        for (_, got), (_, _, points) in zip(rows, want):
            np.testing.assert_allclose(got, points)


@pytest.mark.parametrize("steps, workers", [
    ([], 1),
    (FLIP, 2),
    ([{"op": "quendor", "angle": [-10, 10], "prob": 1.0}, {"op": "hsv_transform", "fraction": 0.3}], 1),
])
def test_labelme_round_trip(tmp_path, steps, workers):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    _labelme(src, width=WIDTH)
    report = datasets.multiply(src, dst, steps, copies=2, seed=3, workers=workers)
    assert (report.read, report.written, report.skipped) == (3, 6, 0)
    # Every uncarried shape is counted against its own sample.
    dropped = json.load(open(os.path.join(dst, "kiro_report.json")))["dropped"]
    assert sorted(d["sample"] for d in dropped) == ["sub/img%02d.png" % i for i in range(3)]
    assert all(UNCARRIED[i][0] in d["reason"] for i, d in enumerate(sorted(dropped, key=lambda d: d["sample"])))
    pipe = kiro.Pipeline(steps)
    for ref, record in datasets.load(src):
        for k in range(2):
            want = pipe(_clone(record), seed=kiro.sample_seed(3, ref["index"], k))
            base = os.path.join(dst, "sub", "%s_k%d" % (os.path.basename(ref["name"]), k))
            with open(base + ".json") as f:
                doc = json.load(f)
            assert doc["imagePath"] == os.path.basename(base) + ".png" and os.path.isfile(base + ".png")
            assert doc["imageData"] is None and doc["flags"] == {"checked": True}
            assert (doc["imageHeight"], doc["imageWidth"]) == want["image"].shape[:2]
            assert {s["shape_type"] for s in doc["shapes"]} == {"polygon"}
            polygons, labels = datasets._format.unpack(want)
            assert [(s["label"], s["group_id"]) for s in doc["shapes"]] == [tuple(label) for label in labels]
            for shape, polygon in zip(doc["shapes"], polygons):
                np.testing.assert_allclose(shape["points"], polygon, atol=1e-9)
    # DST reads back as the same rows.
    again = datasets.load(dst, "labelme")
    assert len(again) == 6 and not any(isinstance(record, Exception) for _, record in again)


@pytest.mark.parametrize("stated, kind", [((WIDTH + 1, HEIGHT), "size mismatch"), ((HEIGHT, WIDTH), "size mismatch"),
                                          ((WIDTH, HEIGHT), None)])
def test_labelme_size_must_match_the_displayed_image(tmp_path, stated, kind):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    _labelme(src, count=2, width=stated[0])
    with open(os.path.join(src, "sub", "img01.json")) as f:
        doc = json.load(f)
    doc["imageHeight"] = stated[1]
    _write(os.path.join(src, "sub", "img01.json"), json.dumps(doc).encode())
    report = datasets.multiply(src, dst, FLIP, format="labelme", workers=1)
    assert [(f["sample"], f["kind"]) for f in report.failures] == ([("sub/img01.png", kind)] if kind else [])
    assert os.path.isfile(os.path.join(dst, "sub", "img01_k0.json")) == (kind is None)


@pytest.mark.parametrize("shape", [
    {"label": "a", "points": [[1, 2], [3]], "shape_type": "polygon"},
    {"label": "a", "points": [[1, 2], [3, 4], [5, 6]], "shape_type": "rectangle"},
    {"label": 3, "points": [[1, 2], [30, 4], [5, 60]], "shape_type": "polygon"},
    {"label": "a", "points": [[1, 2], [30, 4], [5, 60]], "group_id": "x"},
])
def test_malformed_labelme_shapes_skip_the_sample(tmp_path, shape):
    src = str(tmp_path / "src")
    _labelme(src, count=1)
    path = os.path.join(src, "sub", "img00.json")
    with open(path) as f:
        doc = json.load(f)
    doc["shapes"].append(shape)
    _write(path, json.dumps(doc).encode())
    [(ref, outcome)] = datasets.load(src, "labelme")
    assert isinstance(outcome, datasets.SampleError) and outcome.kind == "malformed annotation"


def test_pasted_labelme_groups_get_new_ids(tmp_path):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    _labelme(src)
    steps = [{"op": "copy_paste", "prob": 1.0, "p": 1.0}]
    report = datasets.multiply(src, dst, steps, copies=2, workers=1)
    assert report.written == 6
    fresh = 0
    for ref, _ in datasets.load(src):
        for k in range(2):
            with open(os.path.join(dst, "sub", "%s_k%d.json" % (os.path.basename(ref["name"]), k))) as f:
                groups = {s["group_id"] for s in json.load(f)["shapes"]} - {None, 7}
            # Every source group is 7: a pasted group gets the next free ids, never 7.
            assert groups == set(range(8, 8 + len(groups)))
            fresh += len(groups)
    assert fresh
