import json
import os
import tracemalloc

import pytest

from kiro import datasets
from kiro.datasets import coco as coco_module
from kiro.datasets import run as run_module

from dataset_samples import MAKERS, make_coco, tree

pytest.importorskip("pycocotools")

ROTATE = [{"op": "quendor", "angle": [-8, 8], "prob": 1.0}, {"op": "hsv_transform", "fraction": 0.2}]


def _in_memory_annotations(fmt, dst, outputs):
    """The annotation file as one json.dumps of every part held in memory."""
    images, annotations = [], []
    for ref, copy, ext in outputs:
        with open(fmt._part_path(dst, ref, copy, ext)) as f:
            piece = json.load(f)
        images.append(dict(id=len(images) + 1, **piece["image"]))
        for ann in piece["annotations"]:
            annotations.append(dict(id=len(annotations) + 1, image_id=len(images), **ann))
    data = dict(fmt.meta)
    data.update(images=images, annotations=annotations)
    return json.dumps(data, separators=(",", ":")).encode("utf-8")


@pytest.mark.parametrize("copies,keep_original,workers,meta", [
    (2, True, 1, True), (3, False, 2, True), (1, True, 1, False), (0, True, 1, True)])
def test_streamed_annotation_file_is_the_in_memory_one(copies, keep_original, workers, meta, tmp_path, monkeypatch):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    data = make_coco(src, count=5)
    if not meta:
        data = {"images": data["images"]}  # nothing besides: no other key, no annotation
        with open(os.path.join(src, "annotations.json"), "w") as f:
            json.dump(data, f)
    expected = {}
    finish = coco_module.Coco.finish

    def checked(self, dst, outputs):
        outputs = list(outputs)
        expected["bytes"] = _in_memory_annotations(self, dst, outputs)
        expected["outputs"] = len(outputs)
        return finish(self, dst, outputs)

    monkeypatch.setattr(coco_module.Coco, "finish", checked)
    pipeline = ROTATE if meta else []
    report = datasets.multiply(src, dst, pipeline, copies=copies, keep_original=keep_original, workers=workers)
    assert expected["outputs"] == report.written == 5 * (copies + keep_original)
    with open(os.path.join(dst, "annotations.json"), "rb") as f:
        assert f.read() == expected["bytes"]
    assert not os.path.exists(os.path.join(dst, ".kiro"))


def _driver_peak(src, dst, copies):
    tracemalloc.start()
    try:
        datasets.multiply(src, dst, [], copies=copies, workers=1)
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def test_driver_memory_does_not_grow_with_the_copies(tmp_path):
    src = str(tmp_path / "src")
    make_coco(src, count=8)
    few = _driver_peak(src, str(tmp_path / "few"), 2)
    many = _driver_peak(src, str(tmp_path / "many"), 62)
    # 480 more outputs: held pieces would cost several KB each.
    assert many - few < 480 * 1024


def _events(monkeypatch):
    """Renames into place, os.sync calls and folder fsyncs, in order."""
    events = []
    replace, fsync, sync = os.replace, os.fsync, getattr(os, "sync", None)

    def replaced(a, b):
        events.append(("replace", os.path.abspath(b)))
        return replace(a, b)

    def fsynced(fd):
        path = os.readlink("/proc/self/fd/%d" % fd) if os.path.exists("/proc/self/fd/%d" % fd) else None
        if path and os.path.isdir(path):
            events.append(("fsync dir", path))
        return fsync(fd)

    def synced():
        events.append(("sync", None))
        if sync is not None:
            sync()

    monkeypatch.setattr(os, "replace", replaced)
    monkeypatch.setattr(os, "fsync", fsynced)
    monkeypatch.setattr(os, "sync", synced, raising=False)
    return events


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc to name fsynced folders")
@pytest.mark.parametrize("fmt,named", [("coco", "annotations.json"), ("yolo", None), ("masks", None)])
def test_annotation_file_and_report_land_after_everything_they_name(fmt, named, tmp_path, monkeypatch):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    MAKERS[fmt](src)
    events = _events(monkeypatch)
    datasets.multiply(src, dst, ROTATE, format=fmt, copies=2, workers=1)
    dst = os.path.realpath(dst)
    renamed = [path for kind, path in events if kind == "replace"]
    last = [os.path.join(dst, name) for name in (named, "kiro_report.json") if name]
    assert [os.path.realpath(p) for p in renamed[-len(last):]] == last
    outputs = [p for p in renamed if p not in last]
    assert outputs, "no image was written"
    first_final = events.index(("replace", last[0]))
    assert ("sync", None) in events[events.index(("replace", outputs[-1])):first_final]
    assert events[-1] == ("fsync dir", dst)


def _files_named(root, stem):
    return sorted(os.path.join(folder, name) for folder, _, names in os.walk(root) for name in names
                  if os.path.splitext(name)[0] == stem and not folder.endswith(".kiro"))


@pytest.mark.parametrize("fmt,ext,which,cut", [
    ("coco", "png", 0, "half"), ("coco", "jpg", 0, "half"), ("coco", "jpg", 0, "zeros"),
    ("yolo", "png", 0, "empty"), ("masks", "png", 0, "half"), ("masks", "png", 1, "zeros")])
def test_resume_redoes_an_output_that_does_not_decode(fmt, ext, which, cut, tmp_path):
    src = str(tmp_path / "src")
    MAKERS[fmt](src)
    full, part = str(tmp_path / "full"), str(tmp_path / "part")
    for dst in (full, part):
        datasets.multiply(src, dst, ROTATE, format=fmt, copies=2, workers=1, image_format=ext)
    damaged = [p for p in _files_named(part, "img01_k1") if p.endswith(".png") or p.endswith(".jpg")]
    path = sorted(damaged, key=lambda p: "masks" in p)[which]
    with open(path, "rb") as f:
        data = f.read()
    damaged_data = {"half": data[:len(data) // 2], "zeros": data[:len(data) // 2] + bytes(len(data) - len(data) // 2),
                    "empty": b""}[cut]
    with open(path, "wb") as f:
        f.write(damaged_data)
    report = datasets.multiply(src, part, ROTATE, format=fmt, copies=2, workers=1, image_format=ext, resume=True)
    assert (report.written, report.resumed) == (1, 7)
    expected, got = tree(full), tree(part)
    del expected["kiro_report.json"], got["kiro_report.json"]
    assert got == expected


@pytest.mark.parametrize("content", [b"", b'{"image": {"file_na'])
def test_resume_redoes_a_cut_coco_part(content, tmp_path, monkeypatch):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    make_coco(src)
    full = str(tmp_path / "full")
    datasets.multiply(src, full, ROTATE, copies=1, workers=1)
    # An interrupted run: parts kept, no annotation file yet.
    seen = {}

    def stop(self, dst, outputs):
        seen["outputs"] = list(outputs)
        raise KeyboardInterrupt

    with monkeypatch.context() as patch:
        patch.setattr(coco_module.Coco, "finish", stop)
        with pytest.raises(KeyboardInterrupt):
            datasets.multiply(src, dst, ROTATE, copies=1, workers=1)
    fmt = run_module.make_format("coco", src)
    fmt.scan()
    ref, copy, ext = seen["outputs"][2]
    with open(fmt._part_path(dst, ref, copy, ext), "wb") as f:
        f.write(content)
    report = datasets.multiply(src, dst, ROTATE, copies=1, workers=1, resume=True)
    assert (report.written, report.resumed) == (1, 3)
    with open(os.path.join(full, "annotations.json"), "rb") as a, open(os.path.join(dst, "annotations.json"), "rb") as b:
        assert a.read() == b.read()
