import json
import os

import numpy as np
import pytest

import kiro
from kiro import datasets
from kiro.datasets import _files

from dataset_samples import BACKGROUND, COLOURS, MAKERS, make_coco, make_yolo, tree

pytest.importorskip("pycocotools")

ROTATE = [{"op": "quendor", "angle": [-8, 8], "prob": 1.0}, {"op": "hsv_transform", "fraction": 0.2}]


@pytest.fixture(params=sorted(MAKERS))
def source(request, tmp_path):
    root = tmp_path / ("src_" + request.param)
    MAKERS[request.param](str(root))
    return request.param, str(root)


def _objects(labels):
    """Labels with COCO instances renamed by first appearance: written files get new annotation ids."""
    instances = {}
    return [(x[0], instances.setdefault(x[1], len(instances))) if isinstance(x, tuple) else x for x in labels]


def _same_samples(a, b, fmt):
    assert len(a) == len(b)
    for (ref_a, rec_a), (ref_b, rec_b) in zip(a, b):
        assert not isinstance(rec_a, Exception) and not isinstance(rec_b, Exception)
        assert sorted(rec_a) == sorted(rec_b)
        np.testing.assert_array_equal(rec_a["image"], rec_b["image"])
        if "mask" in rec_a:
            np.testing.assert_array_equal(rec_a["mask"], rec_b["mask"])
        if "keypoints" in rec_a:
            # YOLO stores 6 decimals of normalised coordinates.
            np.testing.assert_allclose(rec_a["keypoints"], rec_b["keypoints"], atol=1e-3 if fmt == "yolo" else 0)
            assert _objects(rec_a["labels"]) == _objects(rec_b["labels"])


def test_round_trip_gives_the_same_samples(source, tmp_path):
    fmt, src = source
    dst = str(tmp_path / "dst")
    report = datasets.multiply(src, dst, [], format=fmt, copies=1, workers=1)
    assert (report.read, report.written, report.skipped) == (4, 4, 0)
    _same_samples(datasets.load(src, fmt), datasets.load(dst, fmt), fmt)
    again = str(tmp_path / "again")
    datasets.multiply(dst, again, [], format=fmt, copies=1, workers=1)
    # Written files are a fixed point once the names carry their copy suffix.
    _same_samples(datasets.load(dst, fmt), datasets.load(again, fmt), fmt)


def test_format_is_detected(source):
    fmt, src = source
    assert datasets.make_format("auto", src).name == fmt


def test_coco_annotations_regrouped_with_new_ids_and_geometry(tmp_path):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    original = make_coco(src)
    datasets.multiply(src, dst, [], format="coco", copies=2, workers=1, keep_original=True)
    with open(os.path.join(dst, "annotations.json")) as f:
        out = json.load(f)
    assert out["categories"] == original["categories"] and out["info"] == original["info"]
    assert out["licenses"] == original["licenses"]
    names = [im["file_name"] for im in out["images"]]
    assert names[:3] == ["img00.png", "img00_k0.png", "img00_k1.png"]
    assert [im["id"] for im in out["images"]] == list(range(1, 13))
    assert [a["id"] for a in out["annotations"]] == list(range(1, len(out["annotations"]) + 1))
    by_image = {}
    for a in out["annotations"]:
        by_image.setdefault(a["image_id"], []).append(a)
    k0 = by_image[names.index("img01_k0.png") + 1]
    two_part = [a for a in k0 if a["category_id"] == 1]
    assert len(two_part) == 1 and len(two_part[0]["segmentation"]) == 2
    box = [a for a in by_image[names.index("img00_k0.png") + 1] if a["category_id"] == 1][0]
    assert box["bbox"] == [8.0, 8.0, 26.0, 22.0] and box["note"] == "a0"
    assert abs(box["area"] - 27 * 23) <= 27 + 23  # rasterised area of the 26 x 22 box
    crowd = [a for a in by_image[names.index("img00_k0.png") + 1] if a["iscrowd"]]
    assert len(crowd) == 1 and crowd[0]["area"] == 300 and crowd[0]["bbox"] == [60, 40, 30, 10]
    # The original keeps its annotations as they were, with new ids.
    originals = by_image[1]
    assert [a["note"] for a in originals if "note" in a] == ["a0", "a1"]
    assert not os.path.exists(os.path.join(dst, ".kiro"))


def _category_under(image, polygon):
    """Category whose colour fills most of the polygon's interior in `image`."""
    inside = kiro.kp2mask({"image": image, "keypoints": np.array([polygon], np.int32)}).astype(bool)
    pixels = image[inside].astype(int)
    if len(pixels) == 0:
        return None
    votes = {c: int((np.abs(pixels - np.array(col)).sum(axis=1) < 90).sum()) for c, col in COLOURS.items()}
    best = max(votes, key=votes.get)
    return best if votes[best] > len(pixels) // 2 else None


@pytest.mark.parametrize("fmt", ["coco", "yolo"])
def test_labels_follow_their_objects_through_zooms_and_deletions(fmt, tmp_path):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    MAKERS[fmt](src, count=6)
    steps = [{"op": "murtane", "class_num": 1, "prob": 0.5},
             {"op": "pandrik", "class_num": 1, "padding": 4, "prob": 0.7},
             {"op": "quendor", "angle": [-5, 5], "prob": 0.5}]
    report = datasets.multiply(src, dst, steps, format=fmt, copies=4, seed=3, workers=1)
    assert report.skipped == 0
    checked = 0
    for ref, record in datasets.load(dst, fmt):
        labels = [lab[0] if isinstance(lab, tuple) else lab + 1 for lab in record["labels"]]
        for row, category in zip(record["keypoints"], labels):
            polygon = np.round(row).astype(np.int32)
            if kiro.kp2mask({"image": record["image"], "keypoints": polygon[None]}).sum() < 30:
                continue  # a sliver at the border after a zoom
            assert _category_under(record["image"], polygon) == category, (ref["image"], category)
            checked += 1
    assert checked > 20


def test_same_bytes_for_any_number_of_workers(source, tmp_path):
    fmt, src = source
    outs = []
    for workers in (1, 2):
        dst = str(tmp_path / ("w%d" % workers))
        datasets.multiply(src, dst, ROTATE, format=fmt, copies=3, seed=11, workers=workers)
        outs.append(tree(dst))
    assert outs[0] == outs[1]
    assert len(outs[0]) > 12


def test_copies_differ_and_seed_decides_them(tmp_path):
    src = str(tmp_path / "src")
    make_yolo(src, count=2)
    trees = []
    for name, seed in (("a", 5), ("b", 5), ("c", 6)):
        datasets.multiply(src, str(tmp_path / name), ROTATE, copies=2, seed=seed, workers=1)
        trees.append(tree(str(tmp_path / name)))
    assert trees[0] == trees[1]
    assert trees[0]["images/img00_k0.png"] != trees[0]["images/img00_k1.png"]
    assert trees[0]["images/img00_k0.png"] != trees[2]["images/img00_k0.png"]


def _break_inputs(fmt, src):
    """A corrupt image and a malformed annotation in sample 0 and 1 of a source set."""
    with open(os.path.join(src, "images", "sub" if fmt == "masks" else "", "img00.png"), "wb") as f:
        f.write(b"not an image at all")
    if fmt == "coco":
        path = os.path.join(src, "annotations.json")
        data = json.load(open(path))
        ann = [a for a in data["annotations"] if a["image_id"] == 11][0]
        ann["segmentation"] = [[1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0]]
        json.dump(data, open(path, "w"))
    elif fmt == "yolo":
        with open(os.path.join(src, "labels", "img01.txt"), "a") as f:
            f.write("1 0.1 0.1 0.2 nan 0.3 0.3\n")
    else:
        mask = np.zeros((10, 10), np.uint8)
        with open(os.path.join(src, "masks", "sub", "img01.png"), "wb") as f:
            f.write(_files.encode_image(mask, ".png"))


def test_bad_samples_are_skipped_and_reported(source, tmp_path):
    fmt, src = source
    _break_inputs(fmt, src)
    dst = str(tmp_path / "dst")
    report = datasets.multiply(src, dst, ROTATE, format=fmt, copies=2, workers=2)
    assert (report.read, report.written, report.skipped) == (2, 4, 2)
    assert report.reasons() == {"malformed annotation": 1, "unreadable image": 1}
    with open(os.path.join(dst, "kiro_report.json")) as f:
        saved = json.load(f)
    assert saved["counts"]["skipped"] == 2 and saved["pipeline"] == ROTATE and saved["seed"] == 0
    failed = {f["sample"]: f for f in saved["failures"]}
    assert set(failed) == {os.path.join("images", "sub" if fmt == "masks" else "", "img00.png").replace("//", "/"),
                           os.path.join("images", "sub" if fmt == "masks" else "", "img01.png").replace("//", "/")}
    assert all(f["copy"] is None for f in saved["failures"])
    assert not [p for p in tree(dst) if "img00_k" in p or "img01_k" in p]


@pytest.mark.parametrize("segmentation,reason", [
    ([[1.0, 2.0, 3.0, 4.0, 5.0]], "odd number"),
    ([[1.0, 2.0, float("nan"), 4.0, 5.0, 6.0]], "NaN"),
    ([[1.0, 2.0, 500.0, 4.0, 5.0, 6.0]], "outside"),
    ([], "no segmentation"),
])
def test_malformed_coco_annotations_are_named(segmentation, reason, tmp_path):
    src = str(tmp_path / "src")
    data = make_coco(src, count=2)
    data["annotations"][0]["segmentation"] = segmentation
    with open(os.path.join(src, "annotations.json"), "w") as f:
        json.dump(data, f)
    ref, error = datasets.load(src, "coco")[0]
    assert isinstance(error, datasets.SampleError) and reason in error.reason


def test_unknown_category_is_reported(tmp_path):
    src = str(tmp_path / "src")
    data = make_coco(src, count=2)
    data["annotations"][0]["category_id"] = 99
    with open(os.path.join(src, "annotations.json"), "w") as f:
        json.dump(data, f)
    assert "unknown category 99" in str(datasets.load(src, "coco")[0][1])


def test_failing_pipeline_step_skips_that_copy(tmp_path):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    make_yolo(src, count=2)
    # An angle range the rotation rejects fails on every copy.
    report = datasets.multiply(src, dst, [{"op": "quendor", "angle": [10, -10], "prob": 1.0}], copies=2, workers=1)
    assert report.read == 2 and report.written == 0 and report.skipped == 4
    assert report.reasons() == {"pipeline step failed": 4}
    assert "quendor" in report.failures[0]["reason"]


def test_fail_fast_stops_at_the_first_skip(tmp_path):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    make_yolo(src, count=4)
    _break_inputs("yolo", src)
    report = datasets.multiply(src, dst, [], copies=1, workers=1, fail_fast=True)
    assert not report.complete and report.skipped == 1 and report.written == 0
    assert json.load(open(os.path.join(dst, "kiro_report.json")))["complete"] is False


def test_no_temporary_file_is_left(source, tmp_path):
    fmt, src = source
    dst = str(tmp_path / "dst")
    datasets.multiply(src, dst, ROTATE, format=fmt, copies=2, workers=2, keep_original=True)
    assert not [p for p in tree(dst) if _files.TEMP_SUFFIX in p]


def test_interrupted_write_leaves_neither_file_nor_temporary(tmp_path, monkeypatch):
    def interrupted(a, b):
        raise KeyboardInterrupt

    monkeypatch.setattr(_files.os, "replace", interrupted)
    with pytest.raises(KeyboardInterrupt):
        _files.write_atomic(str(tmp_path / "a.png"), b"data")
    assert os.listdir(str(tmp_path)) == []


@pytest.mark.parametrize("where", ["inside", "same", "parent"])
def test_destination_overlapping_source_is_refused(where, tmp_path):
    src = str(tmp_path / "set")
    make_yolo(src, count=1)
    dst = {"inside": os.path.join(src, "out"), "same": src, "parent": str(tmp_path)}[where]
    with pytest.raises(datasets.RefusedError):
        datasets.multiply(src, dst, [], copies=1, workers=1, overwrite=True)
    assert not os.path.exists(os.path.join(src, "out"))


def test_non_empty_destination_needs_overwrite_or_resume(tmp_path):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    make_yolo(src, count=1)
    os.makedirs(dst)
    open(os.path.join(dst, "keep.txt"), "w").close()
    with pytest.raises(datasets.RefusedError, match="not empty"):
        datasets.multiply(src, dst, [], copies=1, workers=1)
    assert os.listdir(dst) == ["keep.txt"]
    assert datasets.multiply(src, dst, [], copies=1, workers=1, overwrite=True).written == 1


@pytest.mark.parametrize("fmt", ["coco", "yolo"])
def test_resume_finishes_a_run_with_the_same_bytes(fmt, tmp_path):
    src = str(tmp_path / "src")
    MAKERS[fmt](src)
    full, part = str(tmp_path / "full"), str(tmp_path / "part")
    datasets.multiply(src, full, ROTATE, format=fmt, copies=2, workers=1)
    datasets.multiply(src, part, ROTATE, format=fmt, copies=2, workers=1)
    os.remove(os.path.join(part, "images", "img01_k1.png"))
    report = datasets.multiply(src, part, ROTATE, format=fmt, copies=2, workers=1, resume=True)
    assert (report.written, report.resumed) == (1, 7)
    expected = tree(full)
    got = tree(part)
    del expected["kiro_report.json"], got["kiro_report.json"]
    assert got == expected


def test_resume_refuses_another_pipeline(tmp_path):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    make_yolo(src, count=1)
    datasets.multiply(src, dst, ROTATE, copies=1, workers=1)
    with pytest.raises(datasets.RefusedError, match="seed"):
        datasets.multiply(src, dst, ROTATE, copies=1, seed=9, workers=1, resume=True)


@pytest.mark.parametrize("image_format,quality,magic", [("jpg", 90, b"\xff\xd8"), ("png", 95, b"\x89PNG")])
def test_image_format_option(image_format, quality, magic, tmp_path):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    make_yolo(src, count=1)
    datasets.multiply(src, dst, [], copies=1, workers=1, image_format=image_format, quality=quality)
    with open(os.path.join(dst, "images", "img00_k0." + image_format), "rb") as f:
        assert f.read(2) == magic[:2]


def test_preview_sheet_shows_originals_and_copies(tmp_path):
    src = str(tmp_path / "src")
    make_coco(src, count=4)
    out = str(tmp_path / "sheet.png")
    failures = datasets.preview(src, ROTATE, out, samples=2, copies=3, tile_height=72)
    assert failures == []
    sheet = datasets.read_image(out)
    gap = 4
    assert sheet.shape[0] == 2 * 72 + 3 * gap
    assert sheet.shape[1] == 4 * 96 + 5 * gap  # the rotation keeps the size
    first = sheet[gap:gap + 72, gap:gap + 96]
    original = datasets.load(src, "coco")[0][1]["image"]
    # Outside drawn outlines the original tile is the image (the crowd region is tinted).
    assert (first[60:70, 2:6] == original[60:70, 2:6]).all()
    assert not (first[42:48, 62:88] == original[42:48, 62:88]).all()
    assert (first[:, :, 0] != BACKGROUND).any()


def test_progress_bar_goes_to_stderr_only_when_asked(tmp_path, capsys):
    src = str(tmp_path / "src")
    make_yolo(src, count=2)
    datasets.multiply(src, str(tmp_path / "quiet"), [], copies=1, workers=1)
    assert capsys.readouterr().err == ""
    datasets.multiply(src, str(tmp_path / "shown"), [], copies=1, workers=1, progress=True)
    captured = capsys.readouterr()
    assert "2/2" in captured.err and "sample" in captured.err and captured.out == ""


def test_colour_mask_is_refused_with_its_reason(tmp_path):
    from dataset_samples import make_masks

    src = str(tmp_path / "src")
    make_masks(src, count=1)
    colour = np.zeros((72, 96, 3), np.uint8)
    colour[5:9, 5:9] = (0, 0, 200)
    with open(os.path.join(src, "masks", "sub", "img00.png"), "wb") as f:
        f.write(_files.encode_image(colour, ".png"))
    error = datasets.load(src, "masks")[0][1]
    assert isinstance(error, datasets.SampleError) and "colour channels" in error.reason


def test_a_dying_worker_costs_only_the_samples_it_held(tmp_path):
    from dataset_samples import crash_on_second
    from kiro.datasets import run

    src = str(tmp_path / "src")
    make_yolo(src, count=12)
    fmt = datasets.make_format("yolo", src)
    refs, _ = fmt.scan()
    job = run.Job("yolo", src, str(tmp_path / "dst"), [], copies=1)
    os.makedirs(job.dst)
    results = list(run._run_pool(job, refs, 2, task=crash_on_second))
    assert sorted(r["index"] for r in results) == list(range(12))
    died = [r["index"] for r in results if r["failures"]]
    assert 1 in died and all(r["failures"][0]["kind"] == "worker process died" for r in results if r["failures"])
    assert len(died) <= 8  # at most the window the broken pool held
    assert sum(r["written"] for r in results) == 12 - len(died)
