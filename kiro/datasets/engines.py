"""Where the per-sample work runs: in this process, in worker processes, or on Ray.

Local: `workers` processes (or this one), a bounded window of samples each.
Ray: sample indices go in as rows (`ray.data.from_items`); each Ray worker
builds the format reader and the pipeline once from the shipped job, scans
SRC itself (so the driver never holds a second copy of the annotations),
runs `process_sample` and writes the outputs itself, so SRC and DST must be
paths every node sees (shared storage). Only the small results come back.
Ray is imported only by `run_ray`.
"""

import contextlib
import json
import logging
import os
import sys
import tempfile

from .work import Worker, _died, process_sample

def retain_freed_memory():
    """Let this process keep freed memory for reuse instead of handing it back at once.

    Every copy allocates and frees image-sized buffers. With glibc's default
    thresholds the freed pages go back to the system and the next copy faults
    them in again, which on some machines costs a quarter of a run. Called only
    in processes kiro owns (the `kiro` command and the worker processes); the
    memory kept is bounded by what the process used at its peak.
    """
    if not sys.platform.startswith("linux"):
        return
    try:
        import ctypes

        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):
        return
    m_trim_threshold, m_mmap_threshold = -1, -3
    mallopt(m_mmap_threshold, 32 << 20)  # glibc's largest: bigger blocks are still mapped alone
    mallopt(m_trim_threshold, 256 << 20)


def _init_process(job):
    import kiro

    retain_freed_memory()
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


class _Console:
    """Stream to the terminal's stderr, even while Ray's output is diverted (see `_divert_stderr`)."""

    fd = None  # the terminal's stderr, duplicated, while diverted

    def _stream(self):
        return sys.stderr if self.fd is None else self._file

    def write(self, text):
        stream = self._stream()
        stream.write(text)
        stream.flush()

    def flush(self):
        self._stream().flush()

    def fileno(self):
        return 2 if self.fd is None else self.fd

    def isatty(self):
        return os.isatty(self.fileno())


console = _Console()


@contextlib.contextmanager
def _divert_stderr():
    """Ray's own lines (Python logs, and the C++ core's, written straight to fd 2) into a file.

    Yields a function giving the lines diverted so far. `console` still reaches the terminal.
    """
    sys.stderr.flush()
    log = tempfile.TemporaryFile()
    saved = os.dup(2)
    os.dup2(log.fileno(), 2)
    console.fd, console._file = saved, os.fdopen(os.dup(saved), "w", encoding="utf-8", errors="replace")

    def text():
        log.flush()
        log.seek(0)
        return log.read().decode("utf-8", "replace")

    try:
        yield text
    finally:
        sys.stderr.flush()
        console._file.close()
        console.fd = None
        os.dup2(saved, 2)
        os.close(saved)
        log.close()


def _keep_in_ray_log(text):
    """Append `text` to kiro-driver.log in the logs folder of this process's Ray session, when there is one."""
    if not text:
        return
    try:
        from ray._private import worker

        folder = worker._global_node.get_logs_dir_path()
        with open(os.path.join(folder, "kiro-driver.log"), "a", encoding="utf-8") as f:
            f.write(text)
    except Exception:  # no local session folder: the lines are dropped
        pass


class _RaySample:
    """Callable class: one per Ray worker, holding the built pipeline."""

    def __init__(self, job):
        import kiro

        retain_freed_memory()
        kiro.set_num_threads(1)
        self.worker = Worker(job)
        self.refs = None

    def __call__(self, row):
        if self.refs is None:  # the same scan as the driver's: references by sample index
            self.refs = {ref["index"]: ref for ref in self.worker.fmt.scan()[0]}
        return {"result": json.dumps(process_sample(self.worker, self.refs[row["index"]]))}


@contextlib.contextmanager
def kiro_import_dir():
    """Working directory for ray.init: the folder kiro was imported from.

    A Ray driver puts its working directory first on its workers' sys.path;
    started from a source checkout, that would make workers import the
    uncompiled sources instead of the kiro this process runs.
    """
    import kiro

    before = os.getcwd()
    os.chdir(os.path.dirname(os.path.dirname(os.path.abspath(kiro.__file__))))
    try:
        yield
    finally:
        os.chdir(before)


def run_ray(job, refs, workers, address=None, verbose=False):
    """Results of every sample, in completion order.

    Joins the cluster at `address`, or starts a local Ray with `workers` CPUs
    when none is running (and stops it afterwards); a Ray already initialised
    in this process is used as it is. `workers` None: one worker per CPU of
    the cluster. Ray's own log lines go to kiro-driver.log in the Ray
    session's logs folder; `verbose` shows them on stderr instead.
    """
    try:
        import ray
    except ImportError:
        raise RuntimeError("the ray engine needs Ray: pip install 'kiro[ray]'") from None
    with contextlib.ExitStack() as stack:
        diverted = None if verbose else stack.enter_context(_divert_stderr())
        started = False
        if not ray.is_initialized():
            level = logging.INFO if verbose else logging.WARNING
            with kiro_import_dir():
                if address:
                    ray.init(address=address, log_to_driver=verbose, logging_level=level)
                else:
                    ray.init(num_cpus=workers or None, include_dashboard=False, log_to_driver=verbose,
                             logging_level=level, object_store_memory=256 * 1024 * 1024)
            started = True
        try:
            context = ray.data.DataContext.get_current()
            context.enable_progress_bars = False
            context.execution_options.verbose_progress = False
            if not refs:
                return
            rows = ray.data.from_items([{"index": ref["index"]} for ref in refs],
                                       override_num_blocks=min(len(refs), 16 * (workers or 4)))
            cpus = max(1, int(ray.cluster_resources().get("CPU", 1)))
            size = min(workers, cpus) if workers else cpus
            out = rows.map(_RaySample, fn_constructor_kwargs={"job": job.to_dict()},
                           compute=ray.data.ActorPoolStrategy(size=size), num_cpus=1)
            for row in out.iter_rows():
                yield json.loads(row["result"])
        finally:
            if diverted is not None:
                _keep_in_ray_log(diverted())
            if started:
                ray.shutdown()
