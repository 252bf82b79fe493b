import numpy as np
import pytest

import kiro
from kiro.polygons import polygon_area


def _bbox(v):
    v = np.asarray(v, np.float64)
    return v[:, 0].min(), v[:, 1].min(), v[:, 0].max(), v[:, 1].max()


POLYS = [
    np.array([[0, 0], [10, 0], [10, 5]]),
    np.array([1, 1, 8, 1, 8, 8, 1, 8, 0, 4]),        # flat run, five vertices
    np.array([[3, 3], [6, 3], [6, 6], [3, 6]]),
]


@pytest.mark.parametrize("dtype", [np.int32, np.int64, np.float32, np.float64])
def test_pack_unpack_round_trip_keeps_type_area_and_box(dtype):
    polys = [np.asarray(p, dtype) for p in POLYS]
    kp = kiro.pack_polygons(polys)
    assert kp.dtype == dtype and kp.shape == (3, 10)
    back = kiro.unpack_polygons(kp)
    for orig, got, row in zip(polys, back, kp):
        want = orig.reshape(-1, 2)
        np.testing.assert_array_equal(got, want)
        assert got.dtype == dtype
        padded = row.reshape(-1, 2)
        assert polygon_area(padded) == pytest.approx(polygon_area(want))
        assert _bbox(padded) == _bbox(want)


def test_pack_mixes_types_to_the_common_one():
    kp = kiro.pack_polygons([np.array([[0, 0], [4, 0], [4, 4]], np.int32), [[0.5, 0.5], [2, 0], [2, 2]]])
    assert kp.dtype == np.float64
    assert kiro.pack_polygons([[[0, 0], [4, 0], [4, 4]]]).dtype.kind == "i"


@pytest.mark.parametrize("polys, err", [
    ([[1, 2, 3]], ValueError),                 # odd flat run
    ([np.zeros((0, 2))], ValueError),          # no vertices
    ([np.zeros((3, 3))], ValueError),          # not x, y pairs
    ([["a", "b"]], TypeError),
    ([np.array([[True, False]])], TypeError),
])
def test_pack_refuses_bad_polygons_naming_the_index(polys, err):
    with pytest.raises(err, match="polygon 0"):
        kiro.pack_polygons(polys)


def test_empty_inputs():
    assert kiro.pack_polygons([]).shape == (0, 0)
    assert kiro.unpack_polygons(np.array([])) == []
    assert kiro.unpack_polygons(np.zeros((0, 6)), [], drop_degenerate=True) == ([], [])


@pytest.mark.parametrize("labels", [["a", "b", "c", "d"], ("a", "b", "c", "d"), np.array([7, 8, 9, 10])])
def test_drop_degenerate_drops_labels_alike(labels):
    kp = kiro.pack_polygons([
        [[0, 0], [10, 0], [10, 10]],            # kept
        [[0, 0], [0, 5], [0, 9], [0, 2]],       # flattened onto a border
        [[4, 4], [4, 4], [4, 4]],               # one point
        [[1, 1], [5, 1], [5, 5], [1, 5]],       # kept
    ])
    polys, kept = kiro.unpack_polygons(kp, labels, drop_degenerate=True)
    assert len(polys) == 2
    assert type(kept) is type(labels)
    assert list(kept) == [labels[0], labels[3]]
    # without the flag everything stays
    assert len(kiro.unpack_polygons(kp, labels)[0]) == 4


def test_unpack_refuses_mismatched_labels_and_odd_rows():
    kp = kiro.pack_polygons([[[0, 0], [1, 0], [1, 1]]])
    with pytest.raises(ValueError, match="labels has 2 entries"):
        kiro.unpack_polygons(kp, [1, 2])
    with pytest.raises(ValueError, match="x, y pairs"):
        kiro.unpack_polygons(np.zeros((2, 5)))


def test_sample_seed_is_a_fixed_documented_hash():
    import hashlib

    want = int.from_bytes(hashlib.sha256(b"kiro-sample-seed:7:3:1").digest()[:8], "little")
    assert kiro.sample_seed(7, 3, 1) == want
    assert kiro.sample_seed(7, 3) == kiro.sample_seed(7, 3, 0)
    seeds = {kiro.sample_seed(s, i, k) for s in range(3) for i in range(20) for k in range(3)}
    assert len(seeds) == 180 and all(0 <= x < 2 ** 64 for x in seeds)
    assert kiro.sample_seed(np.int64(7), np.uint8(3), 1) == want


@pytest.mark.parametrize("args, err", [((-1, 0), ValueError), ((0, -2), ValueError), ((1.5, 0), TypeError),
                                       ((True, 0), TypeError), ((0, 0, "1"), TypeError)])
def test_sample_seed_refuses_bad_numbers(args, err):
    with pytest.raises(err):
        kiro.sample_seed(*args)
