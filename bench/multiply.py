"""Data set multiplication: samples per second by engine, and time outside the pipeline.

A synthetic COCO set (200 JPEG images of 1280 x 720, 3 to 12 polygons each) is
made once under build/bench/multiply_set_200. Each row multiplies it with
--copies 2 through quendor + trevane FIT_PASTE + hsv_transform +
generate_noisy gauss. Run by `make bench`, or alone:
    python3 bench/multiply.py [--samples N] [--skip-ray] [--only share|scaling|mixing|peer|memory] [--repeat R]
`--only peer` compares the `kiro multiply` command with the albumentations job in
bench/peer_multiply.py (quendor + hsv_transform + generate_noisy p 0.5; run it with
--samples 100), both as commands timed from after their imports.
`--only memory` runs the `kiro multiply` command on 8,000 and 32,000 tiny
samples (64 x 48, five 12-vertex polygons) with --copies 4 on both engines and
reports the command's peak RSS beside what the input annotations take in memory.
"""

import argparse
import json
import os
import shutil
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
SETS = os.path.join(HERE, os.pardir, "build", "bench")
SET = None  # the set in use, chosen by main()
PIPELINE = [
    {"op": "quendor", "angle": [-10, 10], "prob": 1.0},
    {"op": "trevane", "fit_method": "FIT_PASTE", "prob": 1.0},
    {"op": "hsv_transform", "fraction": 0.3},
    {"op": "generate_noisy", "noise_typ": "gauss"},
]
# The same with objects pasted from other samples of the set (the set itself
# is the donor source).
MIXING = PIPELINE[:1] + [{"op": "copy_paste", "prob": 1.0, "objects": [1, 3], "blend": "gaussian"}] + PIPELINE[2:]
# kiro's side of the albumentations job (Rotate, HueSaturationValue, GaussNoise p 0.5).
PEER_PIPELINE = [
    {"op": "quendor", "angle": [-10, 10], "prob": 1.0},
    {"op": "hsv_transform", "fraction": 0.3},
    {"op": "generate_noisy", "noise_typ": "gauss", "p": 0.5},
]
WIDTH, HEIGHT, COPIES = 1280, 720, 2


def polygon(rng):
    """A star-shaped polygon of 5 to 16 vertices inside the image."""
    n = rng.randint(5, 17)
    cx, cy = rng.uniform(100, WIDTH - 100), rng.uniform(100, HEIGHT - 100)
    angles = np.sort(rng.uniform(0, 2 * np.pi, n))
    radii = rng.uniform(20, 90, n)
    return np.stack([cx + radii * np.cos(angles), cy + radii * np.sin(angles)], axis=1).round(1)


def make_set(root, count):
    import kiro
    from kiro.utils import _io

    marker = os.path.join(root, "annotations.json")
    if os.path.isfile(marker):
        with open(marker) as f:
            if len(json.load(f)["images"]) == count:
                return
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(os.path.join(root, "images"))
    rng = np.random.RandomState(0)
    yy, xx = np.mgrid[0:HEIGHT, 0:WIDTH]
    images, annotations = [], []
    for i in range(count):
        base = (np.sin(xx / rng.uniform(20, 80)) * 60 + np.cos(yy / rng.uniform(20, 80)) * 60 + 128)
        image = np.clip(np.stack([base, base[::-1], base[:, ::-1]], axis=2) + rng.normal(0, 8, (HEIGHT, WIDTH, 3)),
                        0, 255).astype(np.uint8)
        polys = [polygon(rng) for _ in range(rng.randint(3, 13))]
        for k, p in enumerate(polys):
            inside = kiro.kp2mask({"image": image, "keypoints": p.astype(np.int32).reshape(1, -1)}).astype(bool)
            image[inside] = rng.randint(0, 256, 3)
            annotations.append({"id": len(annotations) + 1, "image_id": i + 1, "category_id": 1 + k % 5,
                                "segmentation": [p.reshape(-1).tolist()], "area": 0.0, "bbox": [0, 0, 0, 0],
                                "iscrowd": 0})
        name = "s%04d.jpg" % i
        with open(os.path.join(root, "images", name), "wb") as f:
            f.write(_io.encode(image, ".jpg", 95))
        images.append({"id": i + 1, "file_name": name, "width": WIDTH, "height": HEIGHT})
    data = {"images": images, "annotations": annotations,
            "categories": [{"id": c, "name": "class%d" % c} for c in range(1, 6)]}
    with open(marker, "w") as f:
        json.dump(data, f)


TINY_W, TINY_H, TINY_COPIES = 64, 48, 4
TINY_PIPELINE = [
    {"op": "quendor", "angle": [-10, 10], "prob": 1.0},
    {"op": "hsv_transform", "fraction": 0.3},
]


def make_tiny_set(root, count):
    """`count` COCO samples of 64 x 48 with five 12-vertex polygons each."""
    from kiro.utils import _io

    marker = os.path.join(root, "annotations.json")
    if os.path.isfile(marker):
        return
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(os.path.join(root, "images"))
    rng = np.random.RandomState(1)
    # a few distinct pictures are enough: the bytes are what the command reads
    pictures = [_io.encode(rng.randint(0, 256, (TINY_H, TINY_W, 3)).astype(np.uint8), ".jpg", 90) for _ in range(16)]
    angles = np.linspace(0, 2 * np.pi, 12, endpoint=False)
    images, annotations = [], []
    for i in range(count):
        name = "t%06d.jpg" % i
        with open(os.path.join(root, "images", name), "wb") as f:
            f.write(pictures[i % len(pictures)])
        images.append({"id": i + 1, "file_name": name, "width": TINY_W, "height": TINY_H})
        for k in range(5):
            cx, cy, r = rng.uniform(12, TINY_W - 12), rng.uniform(12, TINY_H - 12), rng.uniform(4, 10)
            points = np.stack([cx + r * np.cos(angles), cy + r * np.sin(angles)], axis=1).round(2)
            annotations.append({"id": len(annotations) + 1, "image_id": i + 1, "category_id": 1 + k,
                                "segmentation": [points.reshape(-1).tolist()], "area": float(np.pi * r * r),
                                "bbox": [0, 0, 0, 0], "iscrowd": 0})
    data = {"images": images, "annotations": annotations,
            "categories": [{"id": c, "name": "class%d" % c} for c in range(1, 6)]}
    with open(marker + ".tmp", "w") as f:
        json.dump(data, f)
    os.replace(marker + ".tmp", marker)


# Peak RSS (KiB) of this process image: VmHWM starts afresh at exec, unlike ru_maxrss,
# which keeps the forking parent's.
_PEAK = """
def peak():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
"""

# Runs the command in a fresh interpreter and prints its own peak RSS (KiB) last.
_RSS_WRAPPER = _PEAK + """
import sys
from kiro.cli import main
code = main(sys.argv[1:])
print(peak())
sys.exit(code)
"""

# What the input annotation file takes once loaded (KiB of RSS over the bare interpreter).
_LOAD_WRAPPER = _PEAK + """
import json, sys
before = peak()
with open(sys.argv[1]) as f:
    data = json.load(f)
print(peak() - before)
"""


def memory_rows(work):
    import subprocess

    rows = []
    pipeline = os.path.join(work, "tiny.yaml")
    with open(pipeline, "w") as f:
        json.dump(TINY_PIPELINE, f)
    for count in (8000, 32000):
        root = os.path.join(SETS, "tiny_set_%d" % count)
        make_tiny_set(root, count)
        loaded = int(subprocess.run([sys.executable, "-P", "-c", _LOAD_WRAPPER, os.path.join(root, "annotations.json")],
                                    check=True, capture_output=True, text=True).stdout.split()[-1]) / 1024
        for engine in ("local", "ray"):
            dst = os.path.join(work, "tiny_out")
            shutil.rmtree(dst, ignore_errors=True)
            start = time.perf_counter()
            out = subprocess.run([sys.executable, "-P", "-c", _RSS_WRAPPER, "multiply", root, dst, "--pipeline",
                                  pipeline, "--copies", str(TINY_COPIES), "--workers", "2", "--engine", engine,
                                  "--quiet"], capture_output=True, text=True)
            seconds = time.perf_counter() - start
            if out.returncode != 0:
                sys.exit("memory run failed (%s, %d samples): %s" % (engine, count, out.stderr[-2000:]))
            peak = int(out.stdout.split()[-1]) / 1024
            rows.append(("kiro multiply %s, 2 workers, %d tiny samples x %d copies" % (engine, count, TINY_COPIES),
                         count / seconds, "peak RSS %.0f MB (annotations in memory %.0f MB)" % (peak, loaded),
                         "<= annotations + 300 MB", peak <= loaded + 300))
            shutil.rmtree(dst, ignore_errors=True)
    return rows


def timed_run(dst, pipeline=None, **options):
    from kiro import datasets

    settle(dst)
    start = time.perf_counter()
    report = datasets.multiply(SET, dst, pipeline or PIPELINE, format="coco", copies=COPIES, seed=0, **options)
    seconds = time.perf_counter() - start
    if report.skipped or not report.complete:
        sys.exit("bench run skipped samples: %s" % report.summary())
    return seconds


def outside_share(dst, image_format):
    """Shares of an in-process run's time outside pipeline calls, and in image decoding/encoding."""
    import kiro
    from kiro.utils import _io

    spent = {"pipeline": 0.0, "codec": 0.0}

    def timing(fn, key):
        def timed(*args, **kwargs):
            t = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                spent[key] += time.perf_counter() - t
        return timed

    saved = kiro.Pipeline.__call__, _io.read_image, _io.encode
    kiro.Pipeline.__call__ = timing(saved[0], "pipeline")
    _io.read_image, _io.encode = timing(saved[1], "codec"), timing(saved[2], "codec")
    try:
        total = timed_run(dst, workers=1, image_format=image_format)
    finally:
        kiro.Pipeline.__call__, _io.read_image, _io.encode = saved
    return total, 1.0 - spent["pipeline"] / total, spent["codec"] / total


def cpu_task(ref):
    """Pool task that also reports the worker's CPU seconds so far."""
    from kiro.datasets.run import _process_in_worker

    result = _process_in_worker(ref)
    return dict(result, cpu=(os.getpid(), time.process_time()))


def cpu_seconds(dst, workers):
    """CPU seconds all processes spend on the set (machine load does not change it much)."""
    from kiro.datasets import run

    shutil.rmtree(dst, ignore_errors=True)
    os.makedirs(dst)
    fmt = run.make_format("coco", SET)
    refs, _ = fmt.scan()
    job = run.Job("coco", SET, dst, PIPELINE, copies=COPIES, image_format="png")
    if workers == 1:
        start = time.process_time()
        for _ in run.run_local(job, refs, 1):
            pass
        return time.process_time() - start
    last = {}
    start = time.process_time()
    for result in run._run_pool(job, refs, workers, task=cpu_task):
        pid, seconds = result["cpu"]
        last[pid] = max(last.get(pid, 0.0), seconds)
    return time.process_time() - start + sum(last.values())


def ray_run(dst):
    """(seconds of the run on a running local Ray with 2 CPUs, seconds to start it)."""
    import ray

    from kiro.datasets.ray_engine import kiro_import_dir

    start = time.perf_counter()
    with kiro_import_dir():
        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, logging_level="warning",
                 object_store_memory=256 * 1024 * 1024)
    started = time.perf_counter() - start
    try:
        return timed_run(dst, workers=2, engine="ray", image_format="png"), started
    finally:
        ray.shutdown()


def settle(dst):
    """Remove an earlier output and write back what is still unwritten, so no run pays for another's files."""
    shutil.rmtree(dst, ignore_errors=True)
    os.sync()


# The command's own run time, from after its imports (as the peer script reports its own).
_TIMED_COMMAND = """
import sys, time
from kiro.cli import main
start = time.perf_counter()
code = main(sys.argv[1:])
print(time.perf_counter() - start)
sys.exit(code)
"""


def command_run(dst, workers, image_format, pipeline):
    """Seconds of the `kiro multiply` command on the set (its start-up excluded)."""
    import subprocess

    settle(dst)
    config = dst + ".json"
    with open(config, "w") as f:
        json.dump(pipeline, f)
    out = subprocess.run([sys.executable, "-P", "-c", _TIMED_COMMAND, "multiply", SET, dst, "--format", "coco",
                          "--pipeline", config, "--copies", str(COPIES), "--workers", str(workers),
                          "--image-format", image_format, "--seed", "0", "--quiet"],
                         capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit("bench run failed or skipped samples: %s" % out.stderr[-2000:])
    return float(out.stdout.split()[-1])


def peer_run(dst, workers, image_format):
    """Seconds of bench/peer_multiply.py on the set, as it reports them (its start-up excluded)."""
    import subprocess

    settle(dst)
    out = subprocess.run([sys.executable, "-P", os.path.join(HERE, "peer_multiply.py"), SET, dst,
                          "--copies", str(COPIES), "--workers", str(workers), "--image-format", image_format],
                         check=True, capture_output=True, text=True).stdout
    return float(out.split()[-2])


def load():
    try:
        return "%.2f %.2f %.2f" % os.getloadavg()
    except OSError:
        return "?"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=200)
    parser.add_argument("--skip-ray", action="store_true")
    parser.add_argument("--only", choices=("share", "scaling", "mixing", "peer", "memory"), help="run only these rows")
    parser.add_argument("--repeat", type=int, default=1, help="interleaved repeats of the scaling and peer rows (median)")
    args = parser.parse_args()
    global SET
    SET = os.path.join(SETS, "multiply_set_%d" % args.samples)
    make_set(SET, args.samples)
    n = args.samples
    work = tempfile.mkdtemp(prefix="kiro-bench-")
    rows = []
    try:
        if args.only == "memory":
            print("# kiro multiply: tiny COCO samples (JPEG %d x %d, five 12-vertex polygons), --copies %d, pipeline "
                  "quendor + hsv_transform" % (TINY_W, TINY_H, TINY_COPIES))
        else:
            print("# kiro multiply: %d COCO samples (JPEG 1280 x 720, 3-12 polygons), --copies %d, pipeline "
                  "%s" % (n, COPIES, "quendor + hsv_transform + generate_noisy gauss p 0.5" if args.only == "peer"
                             else "quendor + trevane FIT_PASTE + hsv_transform + generate_noisy gauss"))
        print("# load average before: %s" % load())
        if args.only in (None, "share"):
            total, share_png, codec = outside_share(os.path.join(work, "png"), "png")
            rows.append(("local, 1 worker, PNG out", n / total, "%.0f %% (decode+encode %.0f %%)"
                         % (100 * share_png, 100 * codec), "<= 35 %", share_png <= 0.35))
            total, share_jpg, codec = outside_share(os.path.join(work, "jpg"), "jpg")
            rows.append(("local, 1 worker, JPEG out", n / total, "%.0f %% (decode+encode %.0f %%)"
                         % (100 * share_jpg, 100 * codec), "<= 25 %", share_jpg <= 0.25))
        if args.only in (None, "mixing"):
            plain = n / timed_run(os.path.join(work, "plain"), workers=1, image_format="png")
            mixed = n / timed_run(os.path.join(work, "mixed"), pipeline=MIXING, workers=1, image_format="png")
            rows.append(("local, 1 worker, PNG out, copy_paste from the set instead of trevane", mixed,
                         "x%.2f of the plain pipeline" % (mixed / plain), "", True))
        if args.only == "memory":
            rows.extend(memory_rows(work))
        if args.only == "peer":
            # kiro and the peer alternate, --repeat times (medians), so a change of machine
            # load hits both alike
            for workers in (1, 2):
                for fmt in ("jpg", "png"):
                    mine, theirs = [], []
                    for _ in range(args.repeat):
                        mine.append(n / command_run(os.path.join(work, "kiro"), workers, fmt, PEER_PIPELINE))
                        theirs.append(n / peer_run(os.path.join(work, "peer"), workers, fmt))
                    mine, theirs = float(np.median(mine)), float(np.median(theirs))
                    rows.append(("kiro vs albumentations + cv2 Pool, %d worker(s), %s out" % (workers, fmt.upper()),
                                 mine, "x%.2f (peer %.2f samples/s)" % (mine / theirs, theirs), ">= x1.8",
                                 mine / theirs >= 1.8))
        if args.only in (None, "scaling"):
            rates = {"one": [], "two": [], "ray": []}
            ray_start = []
            for _ in range(args.repeat):  # interleaved, so a change of machine load hits all alike
                rates["one"].append(n / timed_run(os.path.join(work, "w1"), workers=1, image_format="png"))
                rates["two"].append(n / timed_run(os.path.join(work, "w2"), workers=2, image_format="png"))
                if not args.skip_ray:
                    seconds, started = ray_run(os.path.join(work, "ray"))
                    rates["ray"].append(n / seconds)
                    ray_start.append(started)
            one, two = np.median(rates["one"]), np.median(rates["two"])
            # Under load the kernel shares CPU per session, so two local workers may get no
            # more CPU than one; CPU seconds per sample show what they cost.
            cpu_one, cpu_two = cpu_seconds(os.path.join(work, "c1"), 1), cpu_seconds(os.path.join(work, "c2"), 2)
            rows.append(("local, 1 worker process, PNG out", one, "-", "", True))
            rows.append(("local, 2 worker processes, PNG out", two, "x%.2f of 1 worker" % (two / one), ">= x1.7",
                         two / one >= 1.7))
            rows.append(("CPU s per sample: 1 worker %.3f, 2 workers %.3f" % (cpu_one / n, cpu_two / n),
                         n / cpu_two, "x%.2f at 2 free cores" % (2 * cpu_one / cpu_two), ">= x1.7",
                         2 * cpu_one / cpu_two >= 1.7))
            if rates["ray"]:
                rate, started = np.median(rates["ray"]), np.median(ray_start)
                rows.append(("ray, 2 CPUs, PNG out (Ray already up)", rate,
                             "x%.2f of 2 local workers" % (rate / two), ">= x0.8", rate / two >= 0.8))
                whole = n / (n / rate + started)
                rows.append(("ray, 2 CPUs, PNG out (with %.1f s Ray start)" % started, whole,
                             "x%.2f" % (whole / two), "", True))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    head = ("run", "samples/s", "outside pipeline / ratio", "target", "ok")
    table = [(r[0], "%.2f" % r[1], r[2], r[3], "yes" if r[4] else "NO") for r in rows]
    widths = [max(len(str(r[i])) for r in table + [head]) for i in range(len(head))]
    for r in [head] + table:
        print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)))
    print("# load average after: %s" % load())


if __name__ == "__main__":
    main()
