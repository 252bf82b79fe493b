import pytest

import kiro
from kiro.utils._threads import get_num_threads, set_num_threads


@pytest.fixture
def restore_threads():
    before = get_num_threads()
    yield
    set_num_threads(before)


@pytest.mark.parametrize("n", [1, 2, 3])
def test_set_get_round_trip(restore_threads, n):
    set_num_threads(n)
    assert get_num_threads() == n


def test_negative_restores_default(restore_threads):
    set_num_threads(-1)
    default = get_num_threads()
    set_num_threads(1)
    set_num_threads(-1)
    assert get_num_threads() == default >= 1


def test_top_level_and_binding(restore_threads):
    kiro.set_num_threads(n=2)
    assert kiro.get_num_threads() == 2
    with pytest.raises(TypeError):
        set_num_threads("2")


def test_zero_means_sequential(restore_threads):
    set_num_threads(0)
    assert get_num_threads() == 1
    set_num_threads(2)
    assert get_num_threads() == 2
