"""The Ray engine on a local 2-CPU Ray, started once for the module."""

import json
import os
import subprocess
import sys

import pytest

from kiro import datasets
from kiro.datasets.ray_engine import kiro_import_dir

from dataset_samples import make_coco, make_masks, tree

if os.environ.get("KIRO_SANITIZE"):
    # make sanitize preloads the sanitizer runtime, which Ray's own worker processes
    # inherit; they stop at start on a report inside Ray (setproctitle in _raylet.so).
    pytest.skip("Ray workers cannot start with the sanitizer runtime preloaded", allow_module_level=True)
ray = pytest.importorskip("ray")
pytest.importorskip("ray.data")
pytest.importorskip("pycocotools")

STEPS = [{"op": "quendor", "angle": [-8, 8], "prob": 0.8}, {"op": "generate_noisy", "noise_typ": "gauss"}]


@pytest.fixture(scope="module")
def local_ray():
    with kiro_import_dir():  # workers import the kiro under test
        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, object_store_memory=128 * 1024 * 1024)
    yield
    ray.shutdown()


@pytest.mark.parametrize("make", [make_coco, make_masks])
def test_ray_engine_writes_the_local_engines_bytes(local_ray, make, tmp_path):
    src = str(tmp_path / "src")
    make(src, count=5)
    local, distributed = str(tmp_path / "local"), str(tmp_path / "ray")
    datasets.multiply(src, local, STEPS, copies=2, seed=4, workers=2, keep_original=True)
    report = datasets.multiply(src, distributed, STEPS, copies=2, seed=4, workers=2, engine="ray", keep_original=True)
    assert (report.read, report.written, report.skipped) == (5, 15, 0)
    assert tree(distributed) == tree(local)


def test_ray_engine_reports_bad_samples(local_ray, tmp_path):
    src = str(tmp_path / "src")
    make_masks(src, count=3)
    with open(str(tmp_path / "src" / "images" / "sub" / "img02.png"), "wb") as f:
        f.write(b"broken")
    report = datasets.multiply(src, str(tmp_path / "dst"), STEPS, copies=1, workers=2, engine="ray")
    assert (report.read, report.written) == (2, 2)
    assert [f["kind"] for f in report.failures] == ["unreadable image"]


def test_ray_engine_gives_the_local_bytes_with_donors(local_ray, tmp_path):
    src = str(tmp_path / "src")
    make_coco(src, count=5)
    steps = [{"op": "copy_paste", "prob": 0.8, "blend": "gaussian"}, {"op": "mosaic", "size": 64, "p": 0.5}]
    local, distributed = str(tmp_path / "local"), str(tmp_path / "ray")
    datasets.multiply(src, local, steps, copies=3, seed=7, workers=2)
    report = datasets.multiply(src, distributed, steps, copies=3, seed=7, workers=2, engine="ray")
    assert (report.written, report.skipped, report.donors_skipped) == (15, 0, 0)
    assert tree(distributed) == tree(local)


@pytest.mark.parametrize("said, ray_lines", [("--quiet", False), ("--verbose", True)])
def test_ray_log_lines_reach_stderr_only_with_verbose(said, ray_lines, tmp_path):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    make_masks(src, count=2)
    with open(str(tmp_path / "p.json"), "w") as f:
        json.dump(STEPS, f)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-m", "kiro", "multiply", src, dst, "--pipeline", str(tmp_path / "p.json"),
                           "--engine", "ray", "--workers", "1", said], env=env, cwd=str(tmp_path),
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    with open(os.path.join(dst, "kiro_report.json")) as f:
        assert json.load(f)["counts"]["written"] == 2
    if ray_lines:
        assert "INFO" in done.stderr or "WARNING" in done.stderr
    else:
        assert done.stdout == "" and done.stderr == ""
