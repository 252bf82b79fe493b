"""The geometric operations in `kiro multiply` and `kiro preview`: every written
polygon still lies on its object, for COCO and YOLO, at the new image size."""

import numpy as np
import pytest

from kiro import datasets

from dataset_samples import BACKGROUND, COLOURS, make_coco, make_yolo

mask_utils = pytest.importorskip("pycocotools.mask")

PIPELINE = [
    {"op": "flip", "prob": 0.5},
    {"op": "scale_jitter", "size": [80, 80], "scale": [0.8, 1.4]},
    {"op": "affine", "rotate": [-15, 15], "translate": [-0.1, 0.1], "interpolation": "nearest"},
    {"op": "crop", "size": [64, 72], "position": "objects"},
    {"op": "resize", "size": [48, 60], "interpolation": "nearest"},
]


def _on_object(record, category_of):
    """Share of each polygon's pixels that show its category's colour."""
    image = record["image"]
    h, w = image.shape[:2]
    shares = []
    for polygon, label in zip(*datasets_polygons(record)):
        rle = mask_utils.frPyObjects([np.asarray(polygon, float).reshape(-1).tolist()], h, w)
        inside = mask_utils.decode(mask_utils.merge(rle)).astype(bool)
        if inside.sum() < 20:
            continue  # slivers at the border: a pixel or two either way
        # Each pixel goes to the nearest of the category colours and the background.
        palette = np.array([COLOURS[c] for c in sorted(COLOURS)] + [(BACKGROUND,) * 3])
        nearest = np.abs(image[inside].astype(int)[:, None, :] - palette[None]).sum(axis=2).argmin(axis=1)
        shares.append((nearest == sorted(COLOURS).index(category_of(label))).mean())
    return shares


def datasets_polygons(record):
    import kiro

    return kiro.unpack_polygons(record["keypoints"], record["labels"], drop_degenerate=True)


@pytest.mark.parametrize("fmt, maker, category_of", [
    ("coco", make_coco, lambda label: label[0]),
    ("yolo", make_yolo, lambda label: label + 1),
])
def test_written_polygons_stay_on_their_objects(tmp_path, fmt, maker, category_of):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    maker(src, count=4)
    report = datasets.multiply(src, dst, PIPELINE, format=fmt, copies=3, seed=5, workers=1)
    assert report.skipped == 0 and report.written == 12
    shares = []
    for ref, record in datasets.load(dst, format=fmt):
        assert not isinstance(record, Exception), record
        assert record["image"].shape[:2] == (48, 60)
        if "keypoints" in record and len(record["keypoints"]):
            shares += _on_object(record, category_of)
    assert len(shares) >= 10
    assert np.median(shares) > 0.97 and min(shares) > 0.8


def test_preview_runs_geometry_steps(tmp_path):
    src = str(tmp_path / "src")
    make_coco(src, count=3)
    failures = datasets.preview(src, PIPELINE, str(tmp_path / "sheet.png"), format="coco", samples=2, copies=2)
    assert failures == []
    assert (tmp_path / "sheet.png").stat().st_size > 1000
