import os
import random
import sys
import threading
import time

import numpy as np
import pytest

# Test-only modules that call the installed OpenCV directly (tests/reference,
# built by `make testref`); KIRO_TESTREF names their folder.
_TESTREF = os.environ.get("KIRO_TESTREF") or os.path.join(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build", "testref", "modules")
if os.path.isdir(_TESTREF):
    sys.path.insert(0, os.path.abspath(_TESTREF))


@pytest.fixture(autouse=True)
def _seeded():
    """Every test starts from the same state of both generators."""
    random.seed(1234)
    np.random.seed(1234)


def replay(seed, draws):
    """State of `random` after replaying `draws` (callables on a Random) from `seed`."""
    r = random.Random(seed)
    for d in draws:
        d(r)
    return r.getstate()


@pytest.fixture
def image():
    """A 60 x 80 BGR image with texture, so pastes and blends are visible."""
    rng = np.random.RandomState(7)
    return rng.randint(0, 256, (60, 80, 3)).astype(np.uint8)


@pytest.fixture
def record(image):
    """Image with two objects: class 1 (rows 10..19, cols 30..49), class 2 (rows 35..49, cols 5..19)."""
    mask = np.zeros(image.shape[:2], np.uint8)
    mask[10:20, 30:50] = 1
    mask[35:50, 5:20] = 2
    keypoints = np.array([[30, 10, 49, 10, 49, 19, 30, 19],
                          [5, 35, 19, 35, 19, 49, 5, 49]], np.int32)
    return {"image": image, "mask": mask, "keypoints": keypoints}


def python_turns_during(call):
    """Loop turns a Python thread makes while call() runs (about 0 when it holds the GIL)."""
    state = {"count": 0, "stop": False}

    def spin():
        while not state["stop"]:
            state["count"] += 1

    t = threading.Thread(target=spin)
    t.start()
    time.sleep(0.005)
    before = state["count"]
    call()
    during = state["count"] - before
    state["stop"] = True
    t.join()
    return during
