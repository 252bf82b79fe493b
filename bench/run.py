"""Benchmark table: each kiro call beside its floor, measured in the same run.

Run with `make bench`. Families are the bench_<family>.py files here, each
exposing cases(ctx) -> [harness.Case, ...]; `run.py ramps paste` runs only
the families named.
"""

import glob
import importlib
import os
import platform
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import harness  # noqa: E402


def versions():
    try:
        import cv2
        cv2_version = cv2.__version__
        cv2.setNumThreads(0)
    except ImportError:
        cv2_version = "not installed"
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(l.split(":", 1)[1].strip() for l in f if l.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return "%s, %d cores; Python %s, NumPy %s, opencv-python-headless %s" % (
        cpu, os.cpu_count() or 1, platform.python_version(), np.__version__, cv2_version)


def main():
    import kiro
    kiro.set_num_threads(0)  # one thread for kiro, its floors and cv2 alike
    ctx = harness.Context()
    files = sorted(glob.glob(os.path.join(HERE, "bench_*.py")))
    wanted = sys.argv[1:]
    if wanted:
        known = {os.path.basename(f)[6:-3] for f in files}
        unknown = sorted(set(wanted) - known)
        if unknown:
            sys.exit("unknown bench families: %s (known: %s)" % (", ".join(unknown), ", ".join(sorted(known))))
        files = [f for f in files if os.path.basename(f)[6:-3] in wanted]
    print("# kiro benchmark: 1920 x 1080 x 3 uint8, median of repeated runs, single-threaded OpenCV")
    print("# " + versions())
    head = ("operation", "kiro ms", "floor", "floor ms", "ratio", "target", "ok", "cv2 ms", "peer", "peer ms")
    rows = []
    for path in files:
        module = importlib.import_module(os.path.basename(path)[:-3])
        for case in module.cases(ctx):
            k = harness.median_ms(case.kiro, case.setup)
            f = harness.median_ms(case.floor)
            c = harness.median_ms(case.cv2) if case.cv2 else None
            p = harness.median_ms(case.peer) if case.peer else None
            ratio = k / f if f > 0 else float("inf")
            rows.append((case.op, "%.2f" % k, case.floor_name, "%.2f" % f, "%.2f" % ratio,
                         "%.2f" % case.target, "yes" if ratio <= case.target else "NO",
                         "%.2f" % c if c is not None else "-", case.peer_name or "-",
                         "%.2f" % p if p is not None else "-"))
            print("  measured", case.op, file=sys.stderr)
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]
    line = lambda r: "| " + " | ".join(str(v).ljust(w) for v, w in zip(r, widths)) + " |"
    print(line(head))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(line(r))


if __name__ == "__main__":
    main()
