"""Batch enhancement over a Dask cluster.

One file is one Dask task. Each task runs :func:`audioenhancer.enhance` in a
worker process, which loads the library once and serialises its own calls
with the package's lock, so a worker may run several threads.

Inputs and outputs must live on storage that every worker sees (a shared
file system mounted at the same path everywhere), and every worker must be
able to import this package and load the library (``AUDIOENHANCER_LIBRARY``
or an installed ``libaudioenhancer.so.1``). Paths are passed to the workers
as given: use absolute paths when workers run in other directories or on
other machines.

Example::

    from distributed import Client
    import audioenhancer.cluster

    client = Client("tcp://scheduler:8786")
    summary = audioenhancer.cluster.batch(client, "/shared/raw", "/shared/done",
                                          denoise=3, progress=True)
"""

from __future__ import annotations

import os
import threading
import uuid
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Union

import distributed
from distributed.utils import is_kernel

from . import (
    BATCH_OPTION_NAMES,
    AudioEnhancerError,
    PathArg,
    _enhance_doc,
    _options_arg,
    _path_arg,
)
from . import selection

__all__ = ["batch"]

#: progress callback: (the file's summary entry, files finished, files attempted).
ProgressCallback = Callable[[Dict[str, Any], int, int], None]


def _enhance_task(in_path: bytes, out_path: bytes, doc: Optional[bytes], *after: Any) -> Dict[str, Any]:
    """Runs in a worker: enhances one file; returns {"size_bytes": n} or
    {"error": message}. ``after`` holds the results of tasks that must finish
    first (earlier files writing the same output) and is not read."""
    try:
        _enhance_doc(in_path, out_path, doc)
    except AudioEnhancerError as exc:
        return {"error": selection.display(exc.message)}
    try:
        with open(out_path, "rb") as f:
            size = f.seek(0, os.SEEK_END)
    except OSError:
        size = -1
    return {"size_bytes": size}


def _check_out_dir(out_dir: bytes) -> None:
    """Creates out_dir with its parents, or raises AudioEnhancerError saying
    why it cannot be used."""
    shown = os.fsdecode(out_dir)
    try:
        os.makedirs(out_dir, exist_ok=True)
    except FileExistsError:
        raise AudioEnhancerError(f"output dir is not a directory: {shown}") from None
    except OSError as exc:
        raise AudioEnhancerError(f"cannot create output dir {shown}: {exc.strerror}") from None
    if not os.access(out_dir, os.W_OK | os.X_OK):
        raise AudioEnhancerError(f"output dir is not writable: {shown}")


def _real(path: bytes) -> bytes:
    return os.path.realpath(path)


def _dependencies(jobs: Sequence[selection.Job]) -> List[List[int]]:
    """For each job, the earlier jobs it must wait for: those writing the same
    output, or writing or reading a file it reads or writes. The library's
    batch runs them one after another, and so the last writer wins there;
    this keeps that outcome."""
    last: Dict[bytes, int] = {}
    deps: List[List[int]] = []
    for i, job in enumerate(jobs):
        keys = {_real(job.in_path), _real(job.out_path)}
        deps.append(sorted({last[k] for k in keys if k in last}))
        for k in keys:
            last[k] = i
    return deps


def _show(widget: Any) -> None:
    """Displays a notebook progress widget."""
    try:
        from IPython.display import display
    except ImportError:
        return
    display(widget)


def _entry(job: selection.Job, outcome: Dict[str, Any]) -> Dict[str, Any]:
    name = selection.display(job.name)
    if "error" in outcome:
        return {"in": name, "error": outcome["error"]}
    return {"in": name, "out": selection.display(job.out_name), "size_bytes": outcome["size_bytes"]}


def batch(
    client: Optional[distributed.Client],
    inputs: Union[PathArg, Sequence[PathArg]],
    out_dir: PathArg,
    options: Optional[Mapping[str, Any]] = None,
    progress: Union[None, bool, ProgressCallback] = None,
    **flags: Any,
) -> Dict[str, Any]:
    """Enhances files on the workers of a Dask cluster into out_dir.

    Args:
        client: a connected ``distributed.Client``; None takes the current
            one (``distributed.get_client()``).
        inputs: a directory, whose files are chosen exactly as
            :func:`audioenhancer.batch` chooses them (not recursive, hidden
            names left out, at most 512 names, listing order), or a list of
            files, each attempted when its extension is accepted.
        out_dir: created with its parents before any task is sent.
        options, flags: as for :func:`audioenhancer.batch`. ``jobs`` is
            accepted and not used: the cluster's workers set how many files
            run at once.
        progress: True shows Dask's progress bar (``distributed.progress``);
            a callable is called in this process as each file finishes, with
            the file's summary entry, the number finished and the number
            attempted.

    Inputs and outputs must be on storage every worker sees, at the same
    paths. A worker that dies is replaced by Dask, which runs its file
    again on another worker.

    Returns:
        The summary of :func:`audioenhancer.batch`: ``{"files": [...],
        "processed", "failed", "skipped", "total_mb"}``, files in input order.
        A file that failed, even one whose task Dask gave up on, has its own
        ``{"in", "error"}`` entry.

    Raises:
        TypeError: an unknown option name.
        AudioEnhancerError: the input directory is missing or cannot be
            listed, out_dir cannot be created or written, or no file was
            attempted (then ``summary`` holds the summary).
    """
    # The names and types the library's batch accepts; each file then gets
    # the document its enhance call would get there, less "jobs".
    _options_arg(options, flags, BATCH_OPTION_NAMES)
    merged = {**(options or {}), **flags}
    merged.pop("jobs", None)
    doc = _options_arg(merged, {})

    from_dir = isinstance(inputs, (str, bytes, os.PathLike))
    raw_out = _path_arg(out_dir, "out_dir")
    if from_dir:
        raw_in = _path_arg(inputs, "inputs")  # type: ignore[arg-type]
        try:
            names = selection.list_dir(raw_in)
        except selection.ListingError as exc:
            raise AudioEnhancerError(exc.message) from None
        _check_out_dir(raw_out)
        jobs, skipped = selection.plan(names, [raw_in + b"/" + n for n in names], raw_out)
        where = os.fsdecode(raw_in)
    else:
        paths = [_path_arg(p, "inputs item") for p in inputs]  # type: ignore[union-attr]
        _check_out_dir(raw_out)
        jobs, skipped = selection.select_files(paths, raw_out)
        where = "the given files"

    outcomes = _run(client or distributed.get_client(), jobs, doc, progress) if jobs else []
    files = [_entry(job, o) for job, o in zip(jobs, outcomes)]
    processed = sum(1 for f in files if "error" not in f)
    total = sum(f["size_bytes"] for f in files if f.get("size_bytes", -1) >= 0)
    summary: Dict[str, Any] = {
        "files": files,
        "processed": processed,
        "failed": len(files) - processed,
        "skipped": skipped,
        "total_mb": total / 1048576.0,
    }
    if not files:
        raise AudioEnhancerError(f"no audio files found in {where}", summary)
    return summary


def _run(client: distributed.Client, jobs: Sequence[selection.Job], doc: Optional[bytes],
         progress: Union[None, bool, ProgressCallback]) -> List[Dict[str, Any]]:
    """Submits one task per job and returns their outcomes in job order."""
    tag = uuid.uuid4().hex
    futures: List[distributed.Future] = []
    for i, (job, deps) in enumerate(zip(jobs, _dependencies(jobs))):
        futures.append(client.submit(_enhance_task, job.in_path, job.out_path, doc,
                                     *[futures[d] for d in deps],
                                     key=f"audioenhancer-{tag}-{i}", pure=False))
    index = {f.key: i for i, f in enumerate(futures)}
    outcomes: List[Optional[Dict[str, Any]]] = [None] * len(futures)

    def outcome(future: distributed.Future) -> Dict[str, Any]:
        # A task Dask gave up on (its workers kept dying, or an earlier task
        # it waited for did) fails its file only.
        try:
            result: Dict[str, Any] = future.result()
            return result
        except Exception as exc:  # noqa: BLE001 - reported in the summary
            return {"error": f"task failed: {type(exc).__name__}: {exc}"}

    bar: Optional[threading.Thread] = None
    if progress is True:
        if is_kernel():
            _show(distributed.progress(futures, notebook=True))
        else:
            # The console bar blocks until every key is done: it gets its
            # own thread while this one collects the results.
            bar = threading.Thread(target=distributed.progress, args=(futures,),
                                   kwargs={"notebook": False}, daemon=True)
            bar.start()
    # Each result is taken as soon as its file is done and, unless a bar
    # still watches the keys, released: a worker that dies later then takes
    # no finished file down with it to be enhanced again.
    keep = progress is True
    pending: List[Optional[distributed.Future]] = list(futures)
    del futures
    try:
        done = 0
        for future in distributed.as_completed([f for f in pending if f is not None]):
            i = index[future.key]
            outcomes[i] = outcome(future)
            if not keep:
                pending[i] = None
            del future
            done += 1
            if callable(progress):
                progress(_entry(jobs[i], outcomes[i]), done, len(jobs))  # type: ignore[arg-type]
        if bar is not None:
            bar.join()
    finally:
        # Interrupted: nothing is left running on the cluster for this call.
        client.cancel([f for f in pending if f is not None and not f.done()])
    return [o for o in outcomes if o is not None]
