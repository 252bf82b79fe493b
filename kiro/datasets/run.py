"""The multiply run: every sample of SRC, N pipeline copies each, written to DST.

One function, `process_sample` (in `work`), does a sample's whole work (read,
run the pipeline per copy, write); the engines (in `engines`) only decide where
it runs: in this process, in worker processes, or on Ray. Copy k of sample i is made with
seed kiro.sample_seed(seed, i, k) and lands under a name fixed by the sample,
so DST does not depend on the engine, the number of workers or their order.
Pipelines with copy_paste or mosaic steps take their donors from SRC itself:
every worker opens its own source over SRC and loads donors by index; a
donor that fails to load leaves its step undone and is counted in the report.
"""

import json
import os
import time

from ._files import output_ext, remove_temp_files, sync_all, write_text_atomic
from .engines import _process_in_worker, _run_here, _run_pool, console, run_local  # noqa: F401
from .formats import FORMATS, RefusedError, detect_format, make_format  # noqa: F401
from .work import Job, Worker, _clone, _decodes, _failure, _message, process_sample, run_pipeline  # noqa: F401

REPORT = "kiro_report.json"
RUN_FILE = os.path.join(".kiro", "run.json")


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
             list_file=None, verbose=False):
    """Write `copies` augmented copies of every sample of SRC to DST; returns the Report.

    `pipeline` is a kiro.Pipeline, a list of steps or a YAML/JSON path. Bad
    samples are skipped and reported; the Report says what was read, written
    and skipped, and how many donors (for copy_paste and mosaic steps, drawn
    from SRC) failed to load. Images are read as displayed (EXIF orientation applied), grey ones
    as 3-channel BGR unless `keep_grey`. `images`, `masks` and `list_file` name the masks folders
    and stem list under SRC (defaults images/, masks/, every image). Worker processes import the
    main module: call this from a script under `if __name__ == "__main__":`. `workers` None: one
    per CPU here (with Ray: per CPU of the cluster). Ray's own log lines go to its session log
    (kiro-driver.log) unless `verbose`. Raises RefusedError before any work for a DST inside SRC, a
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
            from .engines import run_ray

            results = run_ray(job, refs, workers, ray_address, verbose)
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

    return tqdm(total=total, unit="sample", file=console, dynamic_ncols=True)


