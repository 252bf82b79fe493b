import glob
import os

import numpy as np
import pytest

from kiro import datasets
from kiro.datasets import _files

from dataset_samples import make_masks

Image = pytest.importorskip("PIL.Image")

PALETTE = [(i * 37) % 256 for i in range(3 * 22)]  # 22 colours, indices 0..21
VOC = PALETTE + [0] * (3 * (255 - 22)) + [224, 224, 192]  # 256, 255 the "ignore" colour


def _voc_set(root, count=2, palette=VOC, transparency=None):
    """Masks set of palette PNG masks, objects outlined with 255 as VOC does; returns name -> indices."""
    make_masks(root, count=count)
    masks = {}
    for path in sorted(glob.glob(os.path.join(root, "masks", "sub", "*.png"))):
        mask = _files.read_mask(path)
        grown = np.maximum.reduce([mask, np.roll(mask, 1, 0), np.roll(mask, 1, 1)])
        mask = np.where(grown != mask, 255, mask).astype(np.uint8)
        img = Image.frombytes("P", mask.shape[::-1], mask.tobytes())
        img.putpalette(palette)
        img.save(path, **({} if transparency is None else {"transparency": transparency}))
        masks[os.path.splitext(os.path.basename(path))[0]] = mask
    return masks


def _copies(dst):
    return sorted(glob.glob(os.path.join(dst, "masks", "sub", "*_k*.png")))


@pytest.mark.parametrize("steps, moved", [
    ([], lambda m: m),
    ([{"op": "hsv_transform", "fraction": 0.3}], lambda m: m),
    ([{"op": "flip", "direction": "horizontal", "prob": 1.0}], lambda m: m[:, ::-1]),
    ([{"op": "flip", "direction": "vertical", "prob": 1.0}, {"op": "hsv_transform", "fraction": 0.3}],
     lambda m: m[::-1]),
])
@pytest.mark.parametrize("transparency", [None, 0])
def test_palette_masks_are_indices_and_copies_keep_the_palette(tmp_path, steps, moved, transparency):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    masks = _voc_set(src, transparency=transparency)
    for ref, record in datasets.load(src, "masks"):
        np.testing.assert_array_equal(record["mask"], masks[os.path.basename(ref["name"])])
        assert {0, 255} < set(np.unique(record["mask"]).tolist())
    report = datasets.multiply(src, dst, steps, format="masks", copies=2, workers=1)
    assert (report.read, report.written, report.skipped) == (2, 4, 0)
    for path in _copies(dst):
        with Image.open(path) as img:
            assert img.mode == "P" and img.getpalette() == VOC
            assert img.info.get("transparency") == transparency
            np.testing.assert_array_equal(np.asarray(img), moved(masks[os.path.basename(path).rsplit("_k", 1)[0]]))


@pytest.mark.parametrize("flip", [False, True])
def test_sixteen_bit_grey_masks_stay_sixteen_bit(tmp_path, flip):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    make_masks(src, count=1)
    path = os.path.join(src, "masks", "sub", "img00.png")
    mask = _files.read_mask(path).astype(np.uint16) * 1000
    with open(path, "wb") as f:
        f.write(_files.encode_image(mask, ".png"))
    steps = [{"op": "flip", "direction": "horizontal", "prob": 1.0}] if flip else [{"op": "hsv_transform"}]
    assert datasets.multiply(src, dst, steps, format="masks", copies=1, workers=1).written == 1
    (copy,) = _copies(dst)
    out = _files.read_mask(copy)
    assert Image.open(copy).mode != "P" and out.dtype == np.uint16
    np.testing.assert_array_equal(out, mask[:, ::-1] if flip else mask)


@pytest.mark.parametrize("values, dtype, palette_written", [
    ((0, 3, 21), np.uint8, True),
    ((0, 30, 255), np.uint8, True),  # past the palette's colours: entries added
    ((0, 3, 300), np.uint16, False),  # no palette holds 300: grey, 16-bit
])
def test_values_a_palette_cannot_hold_are_written_grey(tmp_path, values, dtype, palette_written):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    _voc_set(src, count=1, palette=PALETTE)
    fmt = datasets.make_format("masks", src)
    ref = fmt.scan()[0][0]
    record = fmt.load(ref)
    mask = np.resize(np.array(values, dtype), record["mask"].size).reshape(record["mask"].shape)
    fmt.write(dst, ref, {"image": record["image"], "mask": mask}, 0, ".png", 95)
    (path,) = _copies(dst)
    with Image.open(path) as img:
        assert (img.mode == "P") == palette_written
        if palette_written:
            assert img.getpalette()[:len(PALETTE)] == PALETTE and len(img.getpalette()) >= 3 * (max(values) + 1)
        out = np.asarray(img) if palette_written else _files.read_mask(path)
    assert out.dtype == dtype
    np.testing.assert_array_equal(out, mask)
