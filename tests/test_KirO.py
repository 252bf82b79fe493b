import pytest

import kiro
import kiro.core.KirO as K

GROUPS = {
    "COPY": ["COPY_INTER", "COPY_MASK_EDGE", "COPY_IMAGE_EDGE", "COPY_RANDOM"],
    "OCCLUSION": ["OCCLUSION_INTER", "OCCLUSION_EDGDE", "OCCLUSION_RANDOM"],
    "FIT": ["FIT_PASTE", "FIT_NORMAL", "FIT_MIX", "FIT_MONO"],
    "ANCHOR": ["WATERMARK_UPLEFT", "WATERMARK_UP", "WATERMARK_UPRIGHT", "WATERMARK_CENTER",
               "WATERMARK_DOWNLEFT", "WATERMARK_DOWN", "WATERMARK_DOWNRIGHT"],
    "WATERMARK_RANDOM": ["WATERMARK_RANDOM_ANCHOR", "WATERMARK_RANDOM_ALL"],
    "LIGHT": ["LIGHT_LINEAR", "LIGHT_LOG"],
    "DELETED_FILL": ["DELETED_FILL_MEAN", "DELETED_FILL_RANDOM"],
}


@pytest.mark.parametrize("group", sorted(GROUPS))
def test_values_distinct_within_group(group):
    values = [getattr(K, n) for n in GROUPS[group]]
    assert len(set(values)) == len(values)


@pytest.mark.parametrize("names, values", [
    (GROUPS["FIT"], {1, 2, 3, 4}),
    (GROUPS["ANCHOR"], set(range(1, 8))),
])
def test_drawn_ranges_cover_the_group(names, values):
    got = [getattr(K, n) for n in names]
    assert set(got) == values and all(type(v) is int for v in got)


@pytest.mark.parametrize("name, excluded", [
    ("FIT_RANDOM", range(1, 5)),
    ("WATERMARK_RANDOM_ANCHOR", range(1, 8)),
    ("WATERMARK_RANDOM_ALL", range(1, 8)),
])
def test_random_selectors_outside_drawn_range(name, excluded):
    assert getattr(K, name) not in excluded


@pytest.mark.parametrize("name", GROUPS["DELETED_FILL"])
def test_fill_values_are_text(name):
    assert isinstance(getattr(K, name), str)


def test_all_lists_every_constant_and_top_level_reexports():
    names = [n for g in GROUPS.values() for n in g] + ["FIT_RANDOM"]
    assert sorted(K.__all__) == sorted(names)
    for n in names:
        assert getattr(kiro, n) == getattr(K, n)
