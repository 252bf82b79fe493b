"""The multiply run: every sample of SRC, N pipeline copies each, written to DST.

One function, `process_sample`, does a sample's whole work (read, run the
pipeline per copy, write); the engines only decide where it runs: in this
process, in worker processes, or on Ray. Copy k of sample i is made with
seed kiro.sample_seed(seed, i, k) and lands under a name fixed by the sample,
so DST does not depend on the engine, the number of workers or their order.
Pipelines with copy_paste or mosaic steps take their donors from SRC itself:
every worker opens its own source over SRC and loads donors by index; a
donor that fails to load leaves its step undone and is counted in the report.
"""

import json
import os
import sys
import time

import numpy as np

from ._files import (IMAGE_EXTENSIONS, SampleError, decodes, output_ext, remove_temp_files, sync_all,
                     write_text_atomic)
from .coco import Coco
from .labelme import Labelme
from .masks import Masks
from .yolo import Yolo

FORMATS = {"coco": Coco, "yolo": Yolo, "masks": Masks, "labelme": Labelme}
REPORT = "kiro_report.json"
RUN_FILE = os.path.join(".kiro", "run.json")


class RefusedError(ValueError):
    """A run refused before any work (bad SRC/DST, options or pipeline)."""


def detect_format(src):
    for name, cls in FORMATS.items():
        if cls.detect(src):
            return name
    raise RefusedError("cannot tell the format of %s: give --format coco, yolo, masks or labelme" % src)


def make_format(name, src, annotations=None, keep_grey=False, layout=None):
    """`layout`: the masks folders and list, {"images": DIR, "masks": DIR, "list": FILE} (any may be None)."""
    layout = {k: v for k, v in (layout or {}).items() if v is not None}
    if name == "auto":
        name = "masks" if layout else detect_format(src)
    if name not in FORMATS:
        raise RefusedError("unknown format %r (coco, yolo, masks or labelme)" % (name,))
    if layout and name != "masks":
        raise RefusedError("--images, --masks and --list are options of --format masks, not %s" % name)
    fmt = FORMATS[name](src, annotations)
    fmt.keep_grey = bool(keep_grey)
    if layout:
        try:
            fmt.set_layout(layout)
        except ValueError as e:
            raise RefusedError(str(e)) from None
    return fmt


def _clone(record):
    return {k: v.copy() if isinstance(v, np.ndarray) else list(v) if isinstance(v, list) else v
            for k, v in record.items()}


class Job:
    """Everything a worker needs, as plain data (shipped to processes and Ray)."""

    def __init__(self, format, src, dst, pipeline, seed=0, copies=1, annotations=None, keep_original=False,
                 image_format="auto", quality=95, resume=False, samples=None, keep_grey=False, layout=None):
        self.format, self.src, self.dst = format, os.path.abspath(src), os.path.abspath(dst)
        self.pipeline, self.seed, self.copies = pipeline, int(seed), int(copies)
        self.annotations, self.keep_original = annotations, bool(keep_original)
        self.image_format, self.quality, self.resume = image_format, int(quality), bool(resume)
        self.keep_grey = bool(keep_grey)
        self.layout = layout or None
        self.samples = samples  # as scanned by the driver: the workers' donor sources must agree

    def to_dict(self):
        return dict(vars(self))

    @classmethod
    def from_dict(cls, d):
        return cls(**d)


class Worker:
    """Per-process state: the format reader, the built pipeline and, when it takes donors, SRC as donors."""

    def __init__(self, job):
        import kiro

        from .source import Donors, Source

        self.job = job if isinstance(job, Job) else Job.from_dict(job)
        self.fmt = make_format(self.job.format, self.job.src, self.job.annotations, self.job.keep_grey, self.job.layout)
        self.pipeline = kiro.Pipeline.from_config(self.job.pipeline)
        self.sample_seed = kiro.sample_seed
        self.donors = None
        if self.pipeline.needs_donors:
            self.donors = Donors(Source._lazy(self.job.src, self.job.format, self.job.annotations, self.job.samples,
                                              self.job.keep_grey, self.job.layout))

    def __call__(self, ref):
        return process_sample(self, ref)


def _failure(ref, copy, kind, reason):
    return {"index": ref["index"], "sample": ref.get("image") or ref["name"], "copy": copy, "kind": kind,
            "reason": reason}


def process_sample(worker, ref):
    """Read one sample, write its copies; returns counts, the copies in DST ("pieces") and failures.

    Never raises for a bad sample: every failure is returned, with its kind.
    """
    job, fmt = worker.job, worker.fmt
    result = {"index": ref["index"], "read": 0, "written": 0, "resumed": 0, "donors_skipped": 0, "pieces": [],
              "failures": [], "dropped": []}
    try:
        record = fmt.read(ref)
    except SampleError as e:
        result["failures"].append(_failure(ref, None, e.kind, e.reason))
        return result
    except Exception as e:  # a reader bug must not stop the run either
        result["failures"].append(_failure(ref, None, "unreadable sample", "%s: %s" % (type(e).__name__, e)))
        return result
    result["read"] = 1
    # Degenerate polygons left out of an otherwise good sample.
    result["dropped"] = [{"index": ref["index"], "sample": ref.get("image") or ref["name"], "reason": reason}
                         for reason in fmt.dropped]
    ext = output_ext(ref["image"], job.image_format)
    slots = ([None] if job.keep_original else []) + list(range(job.copies))
    for copy in slots:
        if job.resume:
            if fmt.done(job.dst, ref, copy, ext) and _decodes(fmt.files(job.dst, ref, copy, ext)):
                result["resumed"] += 1
                result["pieces"].append([-1 if copy is None else copy, True])
                continue
        if copy is None:
            work = record
        else:
            # The last copy may change the loaded record itself: nothing reads it afterwards.
            work = record if copy == slots[-1] else _clone(record)
            skips = []
            try:
                work = run_pipeline(worker.pipeline, work, worker.sample_seed(job.seed, ref["index"], copy),
                                    worker.donors, skips)
            except Exception as e:
                result["failures"].append(_failure(ref, copy, "pipeline step failed", _message(e)))
                continue
            finally:
                result["donors_skipped"] += len(skips)
        try:
            piece = fmt.write_original(job.dst, ref, work) if copy is None else \
                fmt.write(job.dst, ref, work, copy, ext, job.quality)
        except Exception as e:
            result["failures"].append(_failure(ref, copy, "write failed", _message(e)))
            continue
        result["written"] += 1
        result["pieces"].append([-1 if copy is None else copy, True])
    return result


def _decodes(paths):
    """Whether every image of an output (mask PNGs included) decodes whole."""
    return all(decodes(p) for p in paths if os.path.splitext(p)[1].lower() in IMAGE_EXTENSIONS)


def run_pipeline(pipeline, record, seed, donors, skips):
    """One copy: the pipeline with the data set's donors (None when it takes none)."""
    if donors is None:
        return pipeline(record, seed=seed)
    donors.start()
    return pipeline(record, seed=seed, donors=donors, donor_skips=skips)


def _message(e):
    text = "%s: %s" % (type(e).__name__, e)
    if e.__cause__ is not None:
        text += " (%s: %s)" % (type(e.__cause__).__name__, e.__cause__)
    return text


def _inside(path, folder):
    path, folder = os.path.realpath(path), os.path.realpath(folder)
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


def check_destination(src, dst, overwrite=False, resume=False):
    """Refuse, before any work, a DST that would damage SRC or an earlier result."""
    if not os.path.isdir(src):
        raise RefusedError("SRC %s is not a folder" % src)
    if _inside(dst, src):
        raise RefusedError("DST %s is inside SRC %s: choose a folder outside it" % (dst, src))
    if _inside(src, dst):
        raise RefusedError("SRC %s is inside DST %s: choose another DST" % (src, dst))
    if os.path.exists(dst) and not os.path.isdir(dst):
        raise RefusedError("DST %s exists and is not a folder" % dst)
    if os.path.isdir(dst) and os.listdir(dst) and not (overwrite or resume):
        raise RefusedError("DST %s is not empty: use --overwrite to write over it or --resume to finish it" % dst)


def _run_identity(job):
    return {"format": job.format, "pipeline": job.pipeline, "seed": job.seed, "image_format": job.image_format,
            "quality": job.quality, "keep_grey": job.keep_grey, "layout": job.layout}


def _check_resumable(job):
    """A resumed DST must come from the same pipeline, seed and image settings."""
    for name in (RUN_FILE, REPORT):
        path = os.path.join(job.dst, name)
        if os.path.isfile(path):
            with open(path, "rb") as f:
                earlier = json.load(f)
            mine = _run_identity(job)
            changed = [k for k in mine if k in earlier and earlier[k] != mine[k]]
            if changed:
                raise RefusedError("DST %s was made with another %s: use --overwrite, or the same settings"
                                   % (job.dst, ", ".join(changed)))
            return


class Report:
    """Counts and failures of a run; `to_dict` is what kiro_report.json holds."""

    def __init__(self, job, samples):
        self.job, self.samples = job, samples
        self.read = self.written = self.resumed = self.donors_skipped = 0
        self.failures, self.dropped = [], []
        self.seconds = 0.0
        self.complete = False

    def add(self, result):
        self.read += result["read"]
        self.written += result["written"]
        self.resumed += result["resumed"]
        self.donors_skipped += result["donors_skipped"]
        self.failures.extend(result["failures"])
        self.dropped.extend(result.get("dropped", ()))

    @property
    def skipped(self):
        return len(self.failures)

    def reasons(self):
        counts = {}
        for f in self.failures:
            counts[f["kind"]] = counts.get(f["kind"], 0) + 1
        return dict(sorted(counts.items()))

    def to_dict(self):
        failures = sorted(self.failures, key=lambda f: (f["index"], -2 if f["copy"] is None else f["copy"]))
        out = _run_identity(self.job)
        out.update(copies=self.job.copies, keep_original=self.job.keep_original, complete=self.complete,
                   counts={"samples": self.samples, "read": self.read, "written": self.written,
                           "resumed": self.resumed, "skipped": self.skipped, "skipped_by_reason": self.reasons(),
                   "donors_skipped": self.donors_skipped, "annotations_dropped": len(self.dropped)},
                   failures=[{k: f[k] for k in ("sample", "copy", "kind", "reason")} for f in failures],
                   dropped=[{k: d[k] for k in ("sample", "reason")} for d in sorted(self.dropped, key=_order)])
        return out

    def summary(self):
        text = "%d samples read, %d written" % (self.read, self.written)
        if self.resumed:
            text += ", %d already there" % self.resumed
        text += ", %d skipped" % self.skipped
        if self.failures:
            text += " (%s)" % ", ".join("%d %s" % (n, kind) for kind, n in self.reasons().items())
        if self.dropped:
            text += ", %d annotation%s dropped" % (len(self.dropped), "" if len(self.dropped) == 1 else "s")
        if self.donors_skipped:
            text += ", %d donor%s skipped" % (self.donors_skipped, "" if self.donors_skipped == 1 else "s")
        text += " in %.1f s" % self.seconds
        if not self.complete:
            text += "; stopped early"
        return text


def _order(dropped):
    return dropped["index"]


def multiply(src, dst, pipeline, format="auto", copies=1, seed=0, workers=None, engine="local", ray_address=None,
             annotations=None, keep_original=False, image_format="auto", quality=95, overwrite=False,
             resume=False, fail_fast=False, progress=False, keep_grey=False, images=None, masks=None,
             list_file=None):
    """Write `copies` augmented copies of every sample of SRC to DST; returns the Report.

    `pipeline` is a kiro.Pipeline, a list of steps or a YAML/JSON path. Bad
    samples are skipped and reported; the Report says what was read, written
    and skipped, and how many donors (for copy_paste and mosaic steps, drawn
    from SRC) failed to load. Images are read as displayed (EXIF orientation applied), grey ones
    as 3-channel BGR unless `keep_grey`. `images`, `masks` and `list_file` name the masks folders
    and stem list under SRC (defaults images/, masks/, every image). Worker processes import the
    main module: call this from a script under `if __name__ == "__main__":`. `workers` None: one
    per CPU here (with Ray: per CPU of the cluster). Raises RefusedError before any work for a DST inside SRC, a
    non-empty DST without `overwrite` or `resume`, or bad options.
    """
    import kiro

    started = time.perf_counter()
    if workers is None and engine == "local":
        workers = default_workers()
    if copies < 0 or (workers is not None and workers < 1):
        raise RefusedError("--copies must be >= 0 and --workers >= 1")
    if overwrite and resume:
        raise RefusedError("--overwrite and --resume exclude each other")
    if engine not in ("local", "ray"):
        raise RefusedError("unknown engine %r (local or ray)" % (engine,))
    output_ext("x.png", image_format)
    if not 0 <= quality <= 100:
        raise RefusedError("--quality must be in 0..100")
    try:
        if not isinstance(pipeline, kiro.Pipeline):
            pipeline = kiro.Pipeline.from_config(pipeline)
        config = json.loads(json.dumps(pipeline.to_config()))
    except (OSError, ValueError, TypeError) as e:
        raise RefusedError("pipeline: %s" % e) from e
    check_destination(src, dst, overwrite, resume)
    layout = {"images": images, "masks": masks, "list": list_file}
    fmt = make_format(format, src, annotations, keep_grey, layout)
    try:
        refs, problems = fmt.scan()
    except (OSError, ValueError) as e:
        raise RefusedError(str(e)) from e
    job = Job(fmt.name, src, dst, config, seed, copies, annotations, keep_original, image_format, quality, resume,
              len(refs), keep_grey, getattr(fmt, "layout", None))
    if resume:
        _check_resumable(job)
    os.makedirs(job.dst, exist_ok=True)
    remove_temp_files(job.dst)
    write_text_atomic_dirs(os.path.join(job.dst, RUN_FILE), json.dumps(_run_identity(job)))
    fmt.prepare(job.dst, resume)
    if resume:
        for ref in refs:
            if not ref.get("error") and ref.get("image"):
                ext = output_ext(ref["image"], job.image_format)
                for copy in ([None] if keep_original else []) + list(range(copies)):
                    fmt.restore(job.dst, ref, copy, ext)

    report = Report(job, len(refs))
    report.failures.extend({"index": -1, "sample": name, "copy": None, "kind": "malformed annotation",
                            "reason": reason} for name, reason in problems)
    written = {}  # sample index -> bit k+1 for copy k in DST, bit 0 for the original
    if fail_fast and problems:
        refs = []
    bar = _progress(len(refs), progress)
    stopped, results = bool(fail_fast and problems), None
    try:
        if engine == "ray":
            from .ray_engine import run_ray

            results = run_ray(job, refs, workers, ray_address)
        else:
            results = run_local(job, refs, workers)
        for result in results:
            report.add(result)
            for copy, _ in result["pieces"]:
                written[result["index"]] = written.get(result["index"], 0) | 1 << (copy + 1)
            if bar is not None:
                bar.update(1)
                if report.skipped:
                    bar.set_postfix(skipped=report.skipped, refresh=False)
            if fail_fast and result["failures"]:
                stopped = True
                break
    finally:
        if bar is not None:
            bar.close()
        if hasattr(results, "close"):
            results.close()
    # Every image, mask and part on disk before the annotation file and the report name them.
    sync_all()
    if not stopped:
        fmt.finish(job.dst, _outputs(refs, written, job.image_format))
        report.complete = True
        _remove_run_file(job.dst)
    report.seconds = time.perf_counter() - started
    write_text_atomic(os.path.join(job.dst, REPORT), json.dumps(report.to_dict(), indent=1) + "\n", durable=True)
    return report


def _outputs(refs, written, image_format):
    """(ref, copy, ext) of the outputs in DST, in output order: by sample, the original first."""
    by_index = {ref["index"]: ref for ref in refs}
    for index in sorted(written):
        ref, bits = by_index[index], written[index]
        ext = output_ext(ref["image"], image_format)
        for bit in range(bits.bit_length()):
            if bits >> bit & 1:
                yield ref, None if bit == 0 else bit - 1, ext


def default_workers():
    """The CPUs this process may use."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def write_text_atomic_dirs(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    write_text_atomic(path, text)


def _remove_run_file(dst):
    path = os.path.join(dst, RUN_FILE)
    if os.path.exists(path):
        os.remove(path)
    try:
        os.rmdir(os.path.dirname(path))
    except OSError:
        pass


def _progress(total, enabled):
    if not enabled:
        return None
    from tqdm import tqdm

    return tqdm(total=total, unit="sample", file=sys.stderr, dynamic_ncols=True)


def _init_process(job):
    import kiro

    kiro.set_num_threads(1)
    global _WORKER
    _WORKER = Worker(job)


def _process_in_worker(ref):
    return _WORKER(ref)


def run_local(job, refs, workers):
    """Results of every sample (in completion order), in this process or in `workers` processes."""
    if workers == 1:
        return _run_here(job, refs)
    return _run_pool(job, refs, workers)


def _run_here(job, refs):
    import kiro

    threads = kiro.get_num_threads()
    kiro.set_num_threads(1)
    try:
        worker = Worker(job)
        for ref in refs:
            yield worker(ref)
    finally:
        kiro.set_num_threads(threads if threads > 1 else 0)


def _died(ref):
    return {"index": ref["index"], "read": 0, "written": 0, "resumed": 0, "donors_skipped": 0, "pieces": [],
            "failures": [_failure(ref, None, "worker process died",
                                  "a worker process ended abruptly while this sample was queued or running")]}


def _run_pool(job, refs, workers, task=_process_in_worker):
    import collections
    import concurrent.futures as cf
    import multiprocessing as mp
    from concurrent.futures.process import BrokenProcessPool

    context = mp.get_context("forkserver" if "forkserver" in mp.get_all_start_methods() else "spawn")
    todo, pending, pool = collections.deque(refs), {}, None
    fruitless = 0  # pools in a row that broke before giving any result
    try:
        while todo or pending:
            if pool is None:
                pool = cf.ProcessPoolExecutor(workers, mp_context=context, initializer=_init_process,
                                              initargs=(job.to_dict(),))
                produced = False
            try:
                # A bounded window of submitted samples keeps memory flat on large sets.
                while todo and len(pending) < 4 * workers:
                    ref = todo.popleft()
                    try:
                        pending[pool.submit(task, ref)] = ref
                    except BrokenProcessPool:
                        todo.appendleft(ref)
                        raise
                done, _ = cf.wait(pending, return_when=cf.FIRST_COMPLETED)
                for future in done:
                    result = future.result()
                    del pending[future]
                    produced = True
                    yield result
            except BrokenProcessPool:
                # A worker died (a crash in native code, or killed): the samples the pool
                # held are reported and a new pool takes the rest.
                fruitless = 0 if produced else fruitless + 1
                if fruitless >= 2:
                    raise RuntimeError("worker processes die before finishing any sample") from None
                lost, pending = list(pending.values()), {}
                pool.shutdown(wait=True)
                pool = None
                for ref in lost:
                    yield _died(ref)
    finally:
        for future in pending:
            future.cancel()
        if pool is not None:
            pool.shutdown(wait=True)
