"""The multiply run on Ray Data: the same per-sample function, run by Ray workers.

Sample references go in as JSON rows (`ray.data.from_items`); each worker
builds the format reader and the pipeline once from the shipped job, runs
`process_sample` and writes the outputs itself, so SRC and DST must be paths
every node sees (shared storage). Only the small results come back.
"""

import contextlib
import json
import logging
import os


class _RaySample:
    """Callable class: one per Ray worker, holding the built pipeline."""

    def __init__(self, job):
        import kiro

        from .run import Worker

        kiro.set_num_threads(1)
        self.worker = Worker(job)

    def __call__(self, row):
        from .run import process_sample

        return {"result": json.dumps(process_sample(self.worker, json.loads(row["ref"])))}


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


def run_ray(job, refs, workers, address=None):
    """Results of every sample, in completion order.

    Joins the cluster at `address`, or starts a local Ray with `workers` CPUs
    when none is running (and stops it afterwards); a Ray already initialised
    in this process is used as it is. `workers` None: one worker per CPU of
    the cluster.
    """
    try:
        import ray
    except ImportError:
        raise RuntimeError("the ray engine needs Ray: pip install 'kiro[ray]'") from None
    started = False
    data_log = logging.getLogger("ray.data")
    level = data_log.level
    data_log.setLevel(logging.WARNING)  # our own progress and summary say it
    if not ray.is_initialized():
        with kiro_import_dir():
            if address:
                ray.init(address=address, log_to_driver=False, logging_level=logging.WARNING)
            else:
                ray.init(num_cpus=workers or None, include_dashboard=False, log_to_driver=False,
                         logging_level=logging.WARNING, object_store_memory=256 * 1024 * 1024)
        started = True
    try:
        context = ray.data.DataContext.get_current()
        context.enable_progress_bars = False
        context.execution_options.verbose_progress = False
        if not refs:
            return
        rows = ray.data.from_items([{"ref": json.dumps(ref)} for ref in refs],
                                   override_num_blocks=min(len(refs), 16 * (workers or 4)))
        cpus = max(1, int(ray.cluster_resources().get("CPU", 1)))
        size = min(workers, cpus) if workers else cpus
        out = rows.map(_RaySample, fn_constructor_kwargs={"job": job.to_dict()},
                       compute=ray.data.ActorPoolStrategy(size=size), num_cpus=1)
        for row in out.iter_rows():
            yield json.loads(row["result"])
    finally:
        data_log.setLevel(level)
        if started:
            ray.shutdown()
