import importlib

import numpy as np
import pytest

import kiro
import kiro.data
from kiro.utils import _demo


def _built(module):
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True


@pytest.mark.parametrize("name", sorted(kiro._EXPORTS))
def test_top_level_name_is_the_module_object(name):
    module = kiro._EXPORTS[name]
    if not _built(module):
        pytest.skip(module + " not built")
    assert getattr(kiro, name) is getattr(importlib.import_module(module), name)
    assert name in dir(kiro)


def test_unknown_top_level_name_raises_attribute_error():
    with pytest.raises(AttributeError, match="no_such_op"):
        kiro.no_such_op


def test_star_import_covers_the_export_table():
    assert set(kiro.__all__) == set(kiro._EXPORTS)


def test_bundled_sample_is_consistent():
    s = kiro.data.load_sample()
    img, mask, kp = s["image"], s["mask"], s["keypoints"]
    assert img.dtype == np.uint8 and img.ndim == 3 and img.shape[2] == 3
    assert mask.shape == img.shape[:2] and mask.dtype == np.uint8
    assert set(np.unique(mask)) == {0, 1, 2, 3}
    assert kp.dtype == np.int32 and kp.shape[0] == 3 and kp.shape[1] % 2 == 0
    # each polygon's box holds its class
    for cls, row in enumerate(kp, 1):
        xs, ys = row[0::2], row[1::2]
        ys_m, xs_m = np.nonzero(mask == cls)
        assert abs(xs_m.min() - xs.min()) <= 1 and abs(xs_m.max() - xs.max()) <= 1
        assert abs(ys_m.min() - ys.min()) <= 1 and abs(ys_m.max() - ys.max()) <= 1


@pytest.mark.parametrize("shape", [(7, 9), (7, 9, 3), (7, 9, 4)])
def test_png_round_trip_is_lossless(tmp_path, shape):
    img = np.random.RandomState(0).randint(0, 256, shape).astype(np.uint8)
    path = str(tmp_path / "x.png")
    _demo.imwrite(path, img)
    np.testing.assert_array_equal(_demo.imread(path), img)


def test_undecodable_file_names_its_path(tmp_path):
    bad = tmp_path / "bad.png"
    bad.write_bytes(b"not an image")
    with pytest.raises(ValueError, match="bad.png"):
        _demo.imread(str(bad))
    with pytest.raises(FileNotFoundError):
        _demo.imread(str(tmp_path / "missing.png"))
