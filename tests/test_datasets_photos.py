"""Data set images as annotation tools show them: EXIF orientation and grey photos."""

import json
import os
import struct

import numpy as np
import pytest

from kiro import datasets
from kiro.cli import main
from kiro.utils import _io

from dataset_samples import _write, draw

ROTATE = [{"op": "quendor", "angle": [-8, 8], "prob": 1.0}]
W, H = 64, 40  # displayed size
BOX = [6, 4, 26, 4, 26, 18, 6, 18]  # category 1 (red) near the displayed top-left corner

# The stored pixels whose display under each orientation is `d`, from the tag's meaning.
STORED = {
    1: lambda d: d,
    2: lambda d: d[:, ::-1],  # mirrored
    3: lambda d: np.rot90(d, 2),  # upside down
    4: lambda d: d[::-1],  # mirrored vertically
    5: lambda d: np.swapaxes(d, 0, 1),  # transposed
    6: lambda d: np.rot90(d, 1),  # shown after a clockwise quarter turn
    7: lambda d: np.rot90(d[:, ::-1], -1),  # transposed across the other diagonal
    8: lambda d: np.rot90(d, -1),  # shown after a counter-clockwise quarter turn
}


def _exif_jpeg(image, orientation, order):
    """JPEG bytes of `image` with an APP1 EXIF block holding `orientation` (byte order 'II' or 'MM')."""
    jpeg = _io.encode(np.ascontiguousarray(image), ".jpg", 95)
    e = "<" if order == "II" else ">"
    tiff = order.encode() + struct.pack(e + "HIH", 42, 8, 1) + struct.pack(e + "HHIH", 0x0112, 3, 1, orientation)
    tiff += b"\0\0" + struct.pack(e + "I", 0)
    body = b"Exif\0\0" + tiff
    return jpeg[:2] + b"\xff\xe1" + struct.pack(">H", len(body) + 2) + body + jpeg[2:]


def _coco(root, samples):
    """COCO set of (file name, bytes, stated width, stated height, polygons by category)."""
    images, annotations = [], []
    for i, (name, data, width, height, polys) in enumerate(samples):
        _write(os.path.join(root, "images", name), data)
        images.append({"id": i + 1, "file_name": name, "width": width, "height": height})
        for category, poly in polys:
            annotations.append({"id": len(annotations) + 1, "image_id": i + 1, "category_id": category,
                                "segmentation": [[float(v) for v in poly]], "area": 1.0, "bbox": [0, 0, 1, 1],
                                "iscrowd": 0})
    data = {"images": images, "annotations": annotations, "categories": [{"id": 1, "name": "a"}]}
    _write(os.path.join(root, "annotations.json"), json.dumps(data).encode())


def _polygon_region(record, shape):
    import kiro

    return kiro.kp2mask({"image": np.zeros(shape + (3,), np.uint8),
                         "keypoints": record["keypoints"]}).astype(bool)


def _red(image):
    image = image.astype(int)
    return (image[..., 2] > 170) & (image[..., 0] < 90) & (image[..., 1] < 90)


@pytest.mark.parametrize("orientation", range(1, 9))
@pytest.mark.parametrize("order", ["II", "MM"])
def test_labels_stay_on_the_object_for_every_orientation(orientation, order, tmp_path):
    displayed, _ = draw([(1, BOX)], W, H)
    stored = STORED[orientation](displayed)
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    _coco(src, [("photo.jpg", _exif_jpeg(stored, orientation, order), W, H, [(1, BOX)])])
    report = datasets.multiply(src, dst, ROTATE, copies=2, seed=3, workers=1, keep_original=True)
    assert (report.written, report.skipped) == (3, 0)
    out = json.load(open(os.path.join(dst, "annotations.json")))
    records = datasets.load(dst, "coco")
    assert len(records) == 3
    for entry, (ref, record) in zip(out["images"], records):
        image = record["image"]
        assert image.shape[:2] == (entry["height"], entry["width"])
        if "_k" in entry["file_name"]:  # written copies are stored upright, without a tag
            raw = _io.read_image(os.path.join(dst, "images", entry["file_name"]))
            assert raw.shape[:2] == (entry["height"], entry["width"])
        inside, red = _polygon_region(record, image.shape[:2]), _red(image)
        assert red.sum() > 150
        assert (red & inside).sum() > 0.9 * red.sum() and (red & inside).sum() > 0.8 * inside.sum()


def _mismatch_coco(root):
    displayed, _ = draw([(1, BOX)], W, H)
    good = _exif_jpeg(STORED[6](displayed), 6, "II")
    _coco(root, [("good.jpg", good, W, H, [(1, BOX)]),
                 ("stored_size.jpg", good, H, W, [(1, BOX)]),  # the size of the stored pixels
                 ("wrong.jpg", _io.encode(displayed, ".jpg", 95), W + 1, H, [(1, BOX)])])
    return ["stored_size.jpg", "wrong.jpg"], "size mismatch"


def _mismatch_masks(root):
    displayed, mask = draw([(1, BOX)], W, H)
    _write(os.path.join(root, "images", "good.jpg"), _exif_jpeg(STORED[8](displayed), 8, "MM"))
    _write(os.path.join(root, "masks", "good.png"), _io.encode(mask, ".png"))
    # The mask in the stored frame of a rotated photo.
    _write(os.path.join(root, "images", "turned.jpg"), _exif_jpeg(STORED[6](displayed), 6, "II"))
    _write(os.path.join(root, "masks", "turned.png"), _io.encode(np.ascontiguousarray(STORED[6](mask)), ".png"))
    return ["turned.jpg"], "malformed annotation"


@pytest.mark.parametrize("make, fmt", [(_mismatch_coco, "coco"), (_mismatch_masks, "masks")])
def test_size_mismatch_is_skipped_and_reported(make, fmt, tmp_path):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    bad, kind = make(src)
    status = main(["multiply", src, dst, "--pipeline", _pipeline_file(tmp_path), "--format", fmt, "--copies", "2",
                   "--workers", "1", "-q"])
    assert status == 1
    report = json.load(open(os.path.join(dst, "kiro_report.json")))
    assert sorted(os.path.basename(f["sample"]) for f in report["failures"]) == sorted(bad)
    assert {f["kind"] for f in report["failures"]} == {kind}
    assert report["counts"]["written"] == 2
    written = sorted(os.listdir(os.path.join(dst, "images")))
    assert written == ["good_k0.jpg", "good_k1.jpg"]


def _pipeline_file(tmp_path):
    path = str(tmp_path / "pipe.json")
    with open(path, "w") as f:
        json.dump(ROTATE, f)
    return path


def _grey_coco(root):
    image, _ = draw([(1, BOX)], W, H)
    grey = np.where(image[..., 2] > 200, 230, 40).astype(np.uint8)  # a bright object on a dark ground
    _coco(root, [("grey.jpg", _io.encode(grey, ".jpg", 95), W, H, [(1, BOX)])])


@pytest.mark.parametrize("keep_grey", [False, True])
def test_grey_photo_goes_through_a_rotation(keep_grey, tmp_path):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    _grey_coco(src)
    args = ["multiply", src, dst, "--pipeline", _pipeline_file(tmp_path), "--copies", "3", "--workers", "2", "-q"]
    assert main(args + (["--keep-grey"] if keep_grey else [])) == 0
    written = sorted(os.listdir(os.path.join(dst, "images")))
    assert len(written) == 3
    for name in written:
        raw = _io.read_image(os.path.join(dst, "images", name))
        assert raw.ndim == (2 if keep_grey else 3)
    for ref, record in datasets.load(dst, "coco", keep_grey=keep_grey):
        image = record["image"]
        assert image.shape == (H, W, 1 if keep_grey else 3)
        bright = image[..., 0] > 150
        inside = _polygon_region(record, image.shape[:2])
        assert bright.sum() > 150 and (bright & inside).sum() > 0.9 * bright.sum()


@pytest.mark.parametrize("keep_grey", [False, True])
def test_keep_grey_reaches_sources_and_preview(keep_grey, tmp_path):
    import pickle

    src = str(tmp_path / "src")
    _grey_coco(src)
    source = pickle.loads(pickle.dumps(datasets.open(src, keep_grey=keep_grey)))
    assert source[0]["image"].shape == (H, W, 1 if keep_grey else 3)
    sheet = str(tmp_path / "sheet.png")
    args = ["preview", src, "--pipeline", _pipeline_file(tmp_path), "--copies", "2", "-o", sheet]
    assert main(args + (["--keep-grey"] if keep_grey else [])) == 0
    assert _io.read_image(sheet).ndim == 3
