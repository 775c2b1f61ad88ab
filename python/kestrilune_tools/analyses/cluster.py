"""Dask clusters for the large jobs: where ``--scheduler`` says to run them.

    >>> with connect("local:2") as client: ...            # a LocalCluster of 2 processes
    >>> with connect("tcp://head:8786") as client: ...    # a running ``dask scheduler``
    >>> with connect("jobqueue:slurm.toml") as client: ...  # workers through the site's queue

A ``jobqueue:`` file (TOML, or YAML when it ends in ``.yaml``/``.yml``) names a
``dask-jobqueue`` cluster class and its settings; ``jobs`` (or ``scale``) is how many batch
jobs to submit::

    cluster = "SLURMCluster"
    jobs = 4
    cores = 8
    memory = "16GB"
    walltime = "02:00:00"
    queue = "normal"
    account = "myproject"

Every worker runs its tiles on the engine's own threads: ``RAYON_NUM_THREADS`` is set in
each worker to its share of the machine's cores (``local:N``) or to its ``cores`` (job
queues). :func:`check_workers` refuses workers of another kestrilune version and a store
path the workers cannot see, before any work.
"""

from __future__ import annotations

import contextlib
import importlib
import os
import signal
import threading
from typing import Any, Dict, Iterator, List, Optional, Tuple

__all__ = ["ClusterError", "connect", "read_jobqueue", "make_jobqueue_cluster",
           "check_workers", "JOBQUEUE_CLASSES"]

JOBQUEUE_CLASSES = ("SLURMCluster", "PBSCluster", "SGECluster", "LSFCluster", "OARCluster",
                    "HTCondorCluster", "MoabCluster")
_CONNECT_TIMEOUT = "10s"


class ClusterError(RuntimeError):
    """A scheduler that cannot be reached or used, said in one line."""


def _distributed() -> Any:
    try:
        import distributed
    except ImportError:
        raise ClusterError("--scheduler needs Dask's distributed package: pip install "
                           "'kestrilune[scale]'") from None
    return distributed


def read_jobqueue(path: str) -> Tuple[str, int, Dict[str, Any]]:
    """The cluster class, the number of jobs and the class's settings of a ``jobqueue:``
    file."""
    try:
        with open(path, "rb") as fh:
            data = fh.read()
    except OSError as exc:
        raise ClusterError(f"cannot read {path}: {exc.strerror or exc}") from None
    config: Any
    try:
        if path.lower().endswith((".yaml", ".yml")):
            config = importlib.import_module("yaml").safe_load(data.decode("utf-8"))
        else:
            try:
                toml = importlib.import_module("tomllib")
            except ImportError:  # Python before 3.11
                toml = importlib.import_module("tomli")
            config = toml.loads(data.decode("utf-8"))
    except Exception as exc:  # the parsers' own errors, which say where
        raise ClusterError(f"{path}: not a readable configuration ({exc})") from None
    if not isinstance(config, dict):
        raise ClusterError(f"{path}: expected keys and values (cluster = \"SLURMCluster\", "
                           f"jobs = 4, cores = ..., memory = ...)")
    config = dict(config)
    name = config.pop("cluster", None)
    if name not in JOBQUEUE_CLASSES:
        raise ClusterError(f"{path}: cluster = {name!r}; choose one of "
                           f"{', '.join(JOBQUEUE_CLASSES)}")
    jobs = config.pop("jobs", config.pop("scale", 1))
    if not isinstance(jobs, int) or isinstance(jobs, bool) or jobs < 1:
        raise ClusterError(f"{path}: jobs must be a whole number of at least 1, got {jobs!r}")
    for key in ("cores", "memory"):
        if key not in config:
            raise ClusterError(f"{path}: {name} needs {key} = ... (per job)")
    return str(name), jobs, config


def _import_jobqueue() -> Any:
    """dask_jobqueue, imported without the SIGINT handler its import installs (one that
    calls sys.exit(), which would turn Ctrl-C into a silent exit): the handler in place
    before is put back."""
    before = signal.getsignal(signal.SIGINT) \
        if threading.current_thread() is threading.main_thread() else None
    try:
        import dask_jobqueue
    except ImportError:
        raise ClusterError("--scheduler jobqueue: needs dask-jobqueue: pip install "
                           "'kestrilune[cluster]'") from None
    finally:
        if before is not None and signal.getsignal(signal.SIGINT) is not before:
            signal.signal(signal.SIGINT, before)
    return dask_jobqueue


def make_jobqueue_cluster(path: str) -> Tuple[Any, int]:
    """The (not yet scaled) ``dask-jobqueue`` cluster a ``jobqueue:`` file describes, and its
    number of jobs. Each job's workers get ``RAYON_NUM_THREADS`` = its cores."""
    name, jobs, config = read_jobqueue(path)
    dask_jobqueue = _import_jobqueue()
    prologue = list(config.pop("job_script_prologue", []))
    prologue.append(f"export RAYON_NUM_THREADS={int(config['cores'])}")
    try:
        cluster = getattr(dask_jobqueue, name)(job_script_prologue=prologue, **config)
    except (TypeError, ValueError) as exc:
        raise ClusterError(f"{path}: {name} refused its settings ({exc})") from None
    return cluster, jobs


@contextlib.contextmanager
def connect(where: str) -> Iterator[Any]:
    """A ``distributed.Client`` for ``where`` (``local:N``, ``jobqueue:FILE`` or a scheduler
    address), closed (with the cluster it started) on leaving."""
    distributed = _distributed()
    cluster: Any = None
    try:
        if where.startswith("local:"):
            count = where[len("local:"):]
            if not count.isdigit() or int(count) < 1:
                raise ClusterError(f"--scheduler local:N needs a number of worker processes, "
                                   f"got {where!r}")
            n = int(count)
            share = max(1, (os.cpu_count() or 1) // n)
            cluster = distributed.LocalCluster(
                n_workers=n, threads_per_worker=1, processes=True, dashboard_address=None,
                env={"RAYON_NUM_THREADS": str(share)}, silence_logs=40)
            client = distributed.Client(cluster)
        elif where.startswith("jobqueue:"):
            cluster, jobs = make_jobqueue_cluster(where[len("jobqueue:"):])
            cluster.scale(jobs=jobs)
            client = distributed.Client(cluster)
        else:
            try:
                client = distributed.Client(where, timeout=_CONNECT_TIMEOUT)
            except (OSError, TimeoutError, ValueError) as exc:
                raise ClusterError(f"cannot reach the Dask scheduler at {where}: {exc}") from None
    except BaseException:
        if cluster is not None:
            cluster.close()
        raise
    try:
        yield client
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def _worker_facts(folder: str) -> Tuple[str, bool]:
    from .. import __version__

    return __version__, os.path.isdir(folder)


def check_workers(client: Any, store: Optional[str]) -> int:
    """Refuse workers of another kestrilune version, or that cannot see the folder of
    ``store`` (None: the workers write nothing); returns the number of workers. Waits for
    at least one worker."""
    from .. import __version__

    client.wait_for_workers(1, timeout=600)
    folder = os.path.dirname(os.path.abspath(store)) if store else os.sep
    try:
        facts: Dict[str, Tuple[str, bool]] = client.run(_worker_facts, folder)
    except Exception as exc:  # a worker without kestrilune_tools, or one that failed
        raise ClusterError(f"the Dask workers cannot run kestrilune ({exc}); install "
                           f"kestrilune[scale] {__version__} on them") from None
    other: List[str] = sorted({f"{v} ({w})" for w, (v, _) in facts.items() if v != __version__})
    if other:
        raise ClusterError(f"the Dask workers run kestrilune {other[0]}, this is {__version__}; "
                           f"install the same version on both")
    blind = sorted(w for w, (_, seen) in facts.items() if not seen)
    if blind:
        raise ClusterError(f"the Dask worker{'s' if len(blind) > 1 else ''} {', '.join(blind)} "
                           f"cannot see {folder}: write the store on a file system the "
                           f"workers share")
    return len(facts)
