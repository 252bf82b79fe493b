"""The multiply run on Ray Data: the same per-sample function, run by Ray workers.

Sample references go in as JSON rows (`ray.data.from_items`); each worker
builds the format reader and the pipeline once from the shipped job, runs
`process_sample` and writes the outputs itself, so SRC and DST must be paths
every node sees (shared storage). Only the small results come back.
"""

import json


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
    if not ray.is_initialized():
        if address:
            ray.init(address=address, log_to_driver=False)
        else:
            ray.init(num_cpus=workers or None, include_dashboard=False, log_to_driver=False,
                     object_store_memory=256 * 1024 * 1024)
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
        out = rows.map(_RaySample, fn_constructor_kwargs={"job": job.to_dict()}, concurrency=size, num_cpus=1)
        for row in out.iter_rows():
            yield json.loads(row["result"])
    finally:
        if started:
            ray.shutdown()
