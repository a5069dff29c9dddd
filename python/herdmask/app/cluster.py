"""The dask cluster a run works on: started or reached, checked, its models loaded, its workers watched.

Before any work the driver checks that the scheduler and every worker import
herdmask at the driver's version (the task graph names herdmask's functions,
which the scheduler must unpickle too) and that every worker runs one thread
(links share a process's standard output and pyplot's current figure), then
has every worker load the models. A worker that dies loses its link: the
driver keeps the last memory figure the scheduler reported for each worker,
to say what the worker held when it went.
"""

from __future__ import annotations

import collections
import logging
import time

__all__ = ["ClusterProblem", "WorkerWatch", "check_cluster", "connect", "load_models_on_workers"]

# A function pickled by value (its module is not importable), so that a scheduler or worker
# without herdmask can run it and say so.
_PROBE = '''
def probe():
    try:
        import herdmask
    except Exception as exc:
        return None, type(exc).__name__ + ": " + str(exc)
    return getattr(herdmask, "__version__", "unknown"), None
'''


def _probe():
    space = {"__name__": "herdmask_version_probe"}
    exec(_PROBE, space)  # noqa: S102 - a fixed text, defined here
    return space["probe"]


class ClusterProblem(Exception):
    """The cluster cannot take the work; str() is one line, `missing` when a package is what lacks."""

    def __init__(self, message, missing=False):
        super().__init__(message)
        self.missing = missing


def connect(scheduler, workers):
    """(client, local cluster or None): the scheduler at `scheduler`, or a local cluster of
    `workers` one-thread processes on which a link whose worker dies is tried once more only."""
    import dask
    from dask.distributed import Client, LocalCluster

    if scheduler:
        try:
            return Client(scheduler, timeout="15s"), None
        except (OSError, TimeoutError) as exc:
            raise ClusterProblem(f"cannot reach the dask scheduler at {scheduler}: {exc}") from None
    # dask gives up on a task at the first worker death; the driver tries the link once more
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0",
                               silence_logs=logging.ERROR)
    return Client(cluster), cluster


def check_cluster(client, version):
    """Raises ClusterProblem naming the scheduler or a worker that cannot import herdmask at
    `version`, or a worker with more than one thread."""
    probe = _probe()
    found, error = client.run_on_scheduler(probe)
    where = f"the dask scheduler at {client.scheduler.address}"
    if found is None:
        raise ClusterProblem(f"{where} cannot import herdmask ({error}); install herdmask {version} where the "
                             "scheduler runs (it unpickles herdmask's tasks)", missing=True)
    if found != version:
        raise ClusterProblem(f"{where} has herdmask {found}, this driver {version}; install one version "
                             "everywhere", missing=True)
    for worker, (found, error) in sorted(client.run(probe).items()):
        if found is None:
            raise ClusterProblem(f"dask worker {worker} cannot import herdmask ({error}); install herdmask "
                                 f"{version} there", missing=True)
        if found != version:
            raise ClusterProblem(f"dask worker {worker} has herdmask {found}, this driver {version}; install one "
                                 "version everywhere", missing=True)
    for worker, info in sorted(client.scheduler_info()["workers"].items()):
        if info.get("nthreads", 1) > 1:
            raise ClusterProblem(f"dask worker {worker} runs {info['nthreads']} threads; start workers with "
                                 "--nthreads 1 (a link holds a whole process)")


def load_models_on_workers(client, model_settings):
    """Every worker loads the models once; returns the number of workers. ClusterProblem when
    some worker cannot."""
    from .tasks import ModelsPlugin

    per_host = collections.Counter(address.rsplit(":", 1)[0] for address in client.scheduler_info()["workers"])
    replies = client.register_plugin(ModelsPlugin(model_settings, per_host))
    for worker, reply in (replies or {}).items():
        if isinstance(reply, dict) and reply.get("status") == "error":
            text = " ".join(str(reply.get("exception_text") or reply).split())
            raise ClusterProblem(f"the models do not load on worker {worker}: {text}")
    return sum(per_host.values())


class WorkerWatch:
    """Which worker each running task is on, and each worker's last reported memory."""

    SECONDS_BETWEEN_LOOKS = 1.0

    def __init__(self, client):
        self.client = client
        self.worker_of = {}
        self.memory = {}
        self.looked = -1e9

    def look(self):
        if time.perf_counter() - self.looked < self.SECONDS_BETWEEN_LOOKS:
            return
        self.looked = time.perf_counter()
        try:
            for worker, keys in self.client.processing().items():
                for key in keys:
                    self.worker_of[key] = worker
            for worker, info in self.client.scheduler_info()["workers"].items():
                memory = (info.get("metrics") or {}).get("memory")
                if memory is not None:
                    self.memory[worker] = int(memory)
        except (OSError, TimeoutError):  # the scheduler is busy or going: the last figures stand
            pass

    def lost(self, key):
        """(worker, its last memory in bytes or None) of the task `key`, as last seen."""
        worker = self.worker_of.get(key, "")
        return worker, self.memory.get(worker)

    def count(self):
        return len(self.client.scheduler_info()["workers"])
