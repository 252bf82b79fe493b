"""Timing harness: each case runs kiro's call and its floor in the same process."""

import importlib
import statistics
import time

import numpy as np

import kiro.data
from kiro.utils import _io

H, W = 1080, 1920


class Case:
    """One table row. `target` is the largest acceptable kiro/floor ratio.

    `setup`, when given, builds a fresh argument before each timed kiro call
    (outside the timing) and the call receives it: kiro(setup())."""

    def __init__(self, op, kiro, floor, floor_name, target, cv2=None, peer=None, peer_name="",
                 setup=None):
        self.op, self.kiro, self.floor, self.floor_name = op, kiro, floor, floor_name
        self.target, self.cv2, self.peer, self.peer_name = target, cv2, peer, peer_name
        self.setup = setup


def _sample():
    base = kiro.data.load_sample()["image"]
    img = _io.resize(base[64:352], W, H)  # 2:1 band of the photo, upscaled
    rng = np.random.RandomState(0)
    img = np.clip(img.astype(np.int16) + rng.randint(-6, 7, img.shape), 0, 255).astype(np.uint8)
    yy, xx = np.mgrid[0:H, 0:W]
    mask = np.zeros((H, W), np.uint8)
    polys = []
    for cls, (cy, cx, ry, rx) in enumerate([(300, 400, 180, 260), (700, 500, 200, 150),
                                            (400, 1200, 250, 300), (850, 1600, 150, 220)], 1):
        mask[((yy - cy) / ry) ** 2 + ((xx - cx) / rx) ** 2 <= 1] = cls
        t = np.arange(8) * (2 * np.pi / 8)
        polys.append(np.stack([cx + rx * np.cos(t), cy + ry * np.sin(t)], 1).ravel())
    return np.ascontiguousarray(img), mask, np.array(polys).astype(np.int32)


class Context:
    def __init__(self):
        self.image, self.mask, self.keypoints = _sample()
        self._floors = {}

    def record(self):
        return {"image": self.image.copy(), "mask": self.mask.copy(), "keypoints": self.keypoints.copy()}

    def floors(self, family):
        if family not in self._floors:
            self._floors[family] = importlib.import_module("floors_" + family)
        return self._floors[family]


def median_ms(fn, setup=None, min_runs=7, max_runs=60, budget_s=0.6):
    """Median wall time of fn() (or fn(setup())) in milliseconds."""
    times = []
    fn(setup()) if setup else fn()  # warm-up: first-call imports and allocations
    start = time.perf_counter()
    while len(times) < max_runs and (len(times) < min_runs or time.perf_counter() - start < budget_s):
        arg = setup() if setup else None
        t0 = time.perf_counter()
        fn(arg) if setup else fn()
        times.append(time.perf_counter() - t0)
    return 1000.0 * statistics.median(times)
