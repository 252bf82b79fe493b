"""Donors for copy_paste and mosaic: in pipelines, from kiro.datasets.open, and in data set runs."""

import concurrent.futures as cf
import contextlib
import json
import multiprocessing as mp
import operator
import os
import pickle
import random

import numpy as np
import pytest

import kiro
from kiro import datasets
from kiro.pipeline import PipelineError

from dataset_samples import MAKERS, make_coco, make_yolo, tree

pytest.importorskip("pycocotools")


def _donor(i):
    rng = np.random.RandomState(i)
    image = rng.randint(0, 256, (48, 64, 3)).astype(np.uint8)
    mask = np.zeros((48, 64), np.uint8)
    mask[5:20, 8:30] = 1
    mask[25:40, 35:60] = 2
    keypoints = np.array([[8, 5, 30, 5, 30, 20, 8, 20], [35, 25, 60, 25, 60, 40, 35, 40]], np.float64) + i
    return {"image": image, "mask": mask, "keypoints": keypoints, "labels": [1, 2]}


class Donors:
    """Fresh records by index; indices in `broken` raise as an unreadable sample would; loads are logged."""

    def __init__(self, count, broken=()):
        self.count, self.broken, self.loads = count, set(broken), []

    def __len__(self):
        return self.count

    def __getitem__(self, i):
        self.loads.append(i)
        if i in self.broken:
            raise datasets.SampleError("unreadable image", "donor %d is broken" % i)
        return _donor(i)


def _same(a, b):
    assert sorted(a) == sorted(b)
    for k in a:
        np.testing.assert_array_equal(np.asarray(a[k]), np.asarray(b[k]))


def _replay(seed, steps, donors, broken=()):
    """The pipeline's draws by hand: p, then the donor indices, then the operation's own draws.
    Also the donors it needs: those of steps whose own gate (prob) opens."""
    random.seed(seed)
    np.random.seed(seed)
    record, loads = _donor(9), []
    for step in steps:
        kwargs = {k: v for k, v in step.items() if k not in ("op", "p")}
        if "p" in step and not random.random() < step["p"]:
            continue
        if step["op"] in ("copy_paste", "mosaic"):
            picked = [random.randrange(donors) for _ in range(1 if step["op"] == "copy_paste" else 3)]
            state = random.getstate()
            if not random.random() < step.get("prob", 0.5 if step["op"] == "copy_paste" else 1.0):
                continue  # the gate's draw, and nothing loaded
            random.setstate(state)
            failed = [i in broken for i in picked]
            loads += picked[:failed.index(True) + 1] if any(failed) else picked
            if not any(failed):  # else the operation is not called
                others = [_donor(i) for i in picked]
                record = kiro.copy_paste(record, others[0], **kwargs) if step["op"] == "copy_paste" else \
                    kiro.mosaic([record] + others, **kwargs)
        else:
            record = getattr(kiro, step["op"])(record, **kwargs)
    return record, loads


FLIP = {"op": "flip", "prob": 0.5}  # after the mixing step: its draw shows the stream went on in step


@pytest.mark.parametrize("steps", [
    [{"op": "copy_paste", "prob": 0.3, "p": 0.8}, FLIP],
    [{"op": "copy_paste", "prob": 1.0, "objects": [1, 2], "scale": [0.5, 1.2], "blend": "gaussian", "sigma": 2}, FLIP],
    [{"op": "mosaic", "size": [40, 56], "p": 0.7, "center": [0.3, 0.7], "prob": 0.8}, FLIP],
], ids=["copy_paste", "copy_paste-gaussian", "mosaic"])
@pytest.mark.parametrize("broken", [(), (1,)], ids=["", "broken-donor"])
def test_draws_replayed_donors_loaded_when_needed_and_failing_ones_skipped(steps, broken):
    pipe = kiro.Pipeline(steps)
    skipped = 0
    for seed in range(16):
        skips, donors = [], Donors(4, broken)
        got = pipe(_donor(9), seed=seed, donors=donors, donor_skips=skips)
        want, loads = _replay(seed, steps, 4, broken)
        _same(got, want)
        assert donors.loads == loads
        assert [(s.step, s.index, type(s.error)) for s in skips] == \
            [("step 0 (%s)" % steps[0]["op"], i, datasets.SampleError) for i in loads if i in broken]
        skipped += len(skips)
    assert bool(skipped) == bool(broken)
    with pytest.warns(RuntimeWarning, match="donor 1 skipped") if broken else contextlib.nullcontext():
        for seed in range(16):
            pipe(_donor(9), seed=seed, donors=Donors(4, broken))


@pytest.mark.parametrize("steps, where", [
    ([{"op": "hsv_transform"}, {"op": "copy_paste"}], "step 1 (copy_paste)"),
    ([{"one_of": [{"op": "flip"}, {"op": "mosaic", "size": 32}], "p": 0.1}], "step 0 option 1 (mosaic)"),
])
@pytest.mark.parametrize("donors", [None, []], ids=["none", "empty"])
def test_donor_steps_without_donors_refused_before_any_step(steps, where, donors):
    record, before = _donor(9), _donor(9)
    state = random.getstate()
    with pytest.raises(PipelineError, match=r"^%s needs donors" % where.replace("(", r"\(").replace(")", r"\)")):
        kiro.Pipeline(steps)(record, seed=3, donors=donors)
    _same(record, before)
    assert random.getstate() == state


@pytest.mark.parametrize("step, match", [
    ({"op": "copy_paste", "blend": "soft"}, "argument 'blend' must be one of 'hard', 'gaussian', 'seamless'"),
    ({"op": "copy_paste", "objects": [3, 1]}, "argument 'objects'"),
    ({"op": "copy_paste", "sigma": 0}, "argument 'sigma' must be a number above 0"),
    ({"op": "mosaic", "size": 64, "center": [0.2, 1.5]}, "argument 'center'"),
])
def test_mixing_arguments_checked_when_built(step, match):
    with pytest.raises(PipelineError, match=match):
        kiro.Pipeline([step])


def test_mosaic_step_gives_missing_masks_the_fill():
    records = [_donor(i) for i in range(4)]
    for r in records[1:]:
        del r["mask"]
    with pytest.raises(ValueError, match="every record has a mask or none"):
        kiro.mosaic([dict(r) for r in records], size=40)
    pipe = kiro.Pipeline([{"op": "mosaic", "size": 40, "center": 0.5, "mask_fill": 7}])
    out = pipe(records[0], seed=0, donors=records[1:])
    assert set(np.unique(out["mask"][:20, 20:])) == {7} and set(np.unique(out["mask"][20:])) == {7}
    assert {1, 2} <= set(np.unique(out["mask"][:20, :20]))
    assert not any("mask" in r for r in records[1:])  # the donors given are not changed


# ---- kiro.datasets.open ---------------------------------------------------------

@pytest.mark.parametrize("fmt", sorted(MAKERS))
def test_open_reads_lazily_fresh_records_in_load_order(fmt, tmp_path):
    src = str(tmp_path / "src")
    MAKERS[fmt](src)
    source = datasets.open(src)
    loaded = datasets.load(src)
    assert len(source) == len(loaded) == 4 and source.format == fmt
    assert len(pickle.dumps(source)) < 400  # SRC and the format, not the listing
    with cf.ProcessPoolExecutor(1, mp_context=mp.get_context("spawn")) as pool:
        _same(pool.submit(operator.getitem, source, 3).result(), loaded[3][1])
    os.remove(os.path.join(src, loaded[2][0]["image"]))  # opened already: only that sample is missing
    with pytest.raises(datasets.SampleError, match="img02"):
        source[2]
    for i in (0, 1, 3, -1):
        _same(source[i], loaded[i][1])
    a, b = source[1], source[1]
    a["image"][:] = 0
    assert b["image"].any() and a["image"] is not b["image"]
    with pytest.raises(IndexError):
        source[4]


# ---- data set runs ----------------------------------------------------------------

PASTE = [{"op": "copy_paste", "prob": 1.0, "blend": "hard"}]


@pytest.mark.parametrize("fmt", sorted(MAKERS))
def test_multiply_with_donors_same_bytes_for_any_workers_and_failures_counted(fmt, tmp_path):
    src = str(tmp_path / "src")
    MAKERS[fmt](src)
    broken = datasets.load(src)[1][0]["image"]
    with open(os.path.join(src, broken), "wb") as f:
        f.write(b"broken")
    outs = []
    for workers in (1, 2):
        dst = str(tmp_path / ("w%d" % workers))
        report = datasets.multiply(src, dst, PASTE, copies=5, seed=2, workers=workers)
        outs.append(tree(dst))
    assert outs[0] == outs[1]
    # Each good copy draws its donor first thing: those that drew sample 1 lost their paste.
    expected = sum(random.Random(kiro.sample_seed(2, i, k)).randrange(4) == 1 for i in (0, 2, 3) for k in range(5))
    assert expected and report.donors_skipped == expected and report.written == 15 and report.skipped == 1
    assert json.loads(outs[0]["kiro_report.json"])["counts"]["donors_skipped"] == expected
    assert ", %d donors skipped in" % expected in report.summary()
    originals = {ref["name"]: record["image"] for ref, record in datasets.load(src) if isinstance(record, dict)}
    pasted = sum(not np.array_equal(record["image"], originals[ref["name"].rsplit("_k", 1)[0]])
                 for ref, record in datasets.load(str(tmp_path / "w1")))
    assert 0 < pasted <= 15 - expected


def test_coco_pasted_objects_are_their_own_annotations(tmp_path):
    from kiro.datasets.source import Donors as RunDonors

    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    make_coco(src, count=2)  # image 0: two boxes and a crowd region; image 1: no objects
    steps = [{"op": "copy_paste", "prob": 1.0, "objects": 1, "scale": 1.0, "flip": 0, "min_visibility": 0.0}]
    datasets.multiply(src, dst, steps, copies=8, seed=1, workers=1)
    written = json.load(open(os.path.join(dst, "annotations.json")))
    pipeline, source = kiro.Pipeline(steps), datasets.open(src)
    self_pastes = 0
    for k in range(8):
        image_id = [im["id"] for im in written["images"] if im["file_name"] == "img00_k%d.png" % k][0]
        anns = [a for a in written["annotations"] if a["image_id"] == image_id]
        crowd, objects = [a for a in anns if a["iscrowd"]], [a for a in anns if not a["iscrowd"]]
        donors = RunDonors(source)
        donors.start()
        replayed = pipeline(source[0], seed=kiro.sample_seed(1, 0, k), donors=donors)
        groups = {}
        for row, label in zip(kiro.unpack_polygons(replayed["keypoints"]), replayed["labels"]):
            groups.setdefault(label, []).append(row.reshape(-1).tolist())
        # Image 0's own boxes (ids 100, 101) keep their extra field, even when the same box was pasted
        # from image 0 itself: the copy is an annotation of its own, of its own category.
        notes = {100: "a0", 101: "a1"}
        assert [(a["category_id"], a.get("note"), a["segmentation"]) for a in objects] == \
            [(c, notes.get(i), rows) for (c, i), rows in groups.items()]
        self_pastes += sum(isinstance(i, tuple) and i[2] in notes for _, i in groups)
        # The crowd region stays category 3's alone: the pasted object's pixels are no crowd.
        assert [a["category_id"] for a in crowd] == [3]
    assert self_pastes >= 1


@pytest.mark.parametrize("change", ["missing", "null", "repeated"])
def test_coco_annotations_without_a_usable_id_stay_apart(change, tmp_path):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    data = make_coco(src, count=3)
    for ann in data["annotations"]:
        if ann["image_id"] == 11:  # image 1: a two-part box (a3), a box (a4), a triangle (a5)
            if change == "missing":
                del ann["id"]
            else:
                ann["id"] = None if change == "null" else 100
    with open(os.path.join(src, "annotations.json"), "w") as f:
        json.dump(data, f)
    labels = [record["labels"] for _, record in datasets.load(src)]
    assert len({instance for _, instance in labels[1]}) == 3 and labels[1][0] == labels[1][1]
    assert not {i for _, i in labels[0]} & {i for _, i in labels[1]}
    datasets.multiply(src, dst, [], copies=1, workers=1)
    written = json.load(open(os.path.join(dst, "annotations.json")))
    anns = [a for a in written["annotations"] if a["image_id"] == 2]
    assert [(a["note"], len(a["segmentation"])) for a in anns] == [("a3", 2), ("a4", 1), ("a5", 1)]


def test_preview_lists_donors_that_failed(tmp_path):
    src = str(tmp_path / "src")
    make_yolo(src, count=4)
    with open(os.path.join(src, "images", "img01.png"), "wb") as f:
        f.write(b"broken")
    skips = []
    failures = datasets.preview(src, PASTE, str(tmp_path / "sheet.png"), samples=4, copies=4, donor_skips=skips)
    assert [f[:2] for f in failures] == [("images/img01.png", None)]
    assert skips and {(donor, sample != "images/img01.png") for sample, _, donor, _ in skips} == {("images/img01.png", True)}
