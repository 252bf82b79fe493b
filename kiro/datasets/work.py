"""A sample's whole work: read it, run the pipeline per copy, write the copies.

`process_sample` is what every engine runs; `Job` is its settings as plain
data and `Worker` the per-process state built from it.
"""

import os

import numpy as np

from ._files import IMAGE_EXTENSIONS, SampleError, decodes, output_ext
from .formats import make_format
from .source import Donors, Source

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
            if copy is None:
                fmt.write_original(job.dst, ref, work)
            else:
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


def _died(ref):
    return {"index": ref["index"], "read": 0, "written": 0, "resumed": 0, "donors_skipped": 0, "pieces": [],
            "failures": [_failure(ref, None, "worker process died",
                                  "a worker process ended abruptly while this sample was queued or running")]}
