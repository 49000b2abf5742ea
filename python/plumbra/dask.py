"""Rendering a library of files on a dask.distributed cluster.

One task per file. Workers read the inputs and write the outputs on storage
they share (the same paths on every machine) and need plumbra importable. An
output appears whole or not at all: it is written beside its place and renamed
into it, so a worker lost mid-file leaves no partial output, and the scheduler
runs its tasks again on another worker (a render of the same file gives the
same bytes).
"""
import hashlib
import os

__all__ = ["render_library"]


def _output_path(out_dir, relative, ext):
    path = os.path.join(out_dir, relative)
    if ext:
        path = os.path.splitext(path)[0] + "." + ext.lstrip(".")
    return path


def _failed(in_path, out_path, reason):
    return {"status": "failed", "input": {"file": in_path}, "output": {"file": out_path}, "reason": reason}


def _render_one(in_path, out_path, options, skip_existing):
    """One file on a worker: its report entry, never an exception."""
    import plumbra
    try:
        if os.path.exists(out_path):
            if os.path.samefile(in_path, out_path):
                return _failed(in_path, out_path, out_path + " is the input itself; plumbra never writes over its input")
            if skip_existing:
                return {"status": "skipped", "input": {"file": in_path}, "output": {"file": out_path},
                        "reason": out_path + " exists"}
        os.makedirs(os.path.dirname(out_path) or ".", exist_ok=True)
        report = plumbra.render_file(in_path, out_path, **options)
    except Exception as e:  # the file fails, the library goes on
        return _failed(in_path, out_path, str(e))
    entry = {"status": "ok"}
    if report.get("non_finite_samples"):
        entry = {"status": "non-finite", "reason": "the output holds NaN or infinite samples"}
    entry.update(report)
    return entry


def render_library(inputs, out_dir, client=None, *, ext=None, target=None, preset=None, controls=None,
                   skip_existing=True):
    """Renders files and folders into out_dir on a dask.distributed cluster, as
    `plumbra render -o OUT_DIR INPUTS...` does on one machine.

    inputs: a path or a list of files and folders (folders are walked, in name
    order; the layout below each folder argument is kept under out_dir; a file
    argument lands at out_dir/its name). ext: the outputs' extension (default:
    each input's own). target, preset, controls: as plumbra.render(). Outputs
    that exist are kept when skip_existing, else rendered again. client: a
    distributed.Client (default: the current one). Paths must name the same
    storage on every worker (use absolute paths on shared storage).

    Returns one report entry per file, in input order: a dict with "status"
    ("ok", "skipped", "failed" or "non-finite"), the keys of --report-json for
    rendered files and "reason" for the others. Failures are entries, not
    exceptions.
    """
    import distributed
    from . import _plumbra

    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    inputs = [os.path.abspath(os.fspath(p)) for p in inputs]
    out_dir = os.path.abspath(os.fspath(out_dir))
    if client is None:
        client = distributed.get_client()
    options = {"target": target, "preset": preset and os.path.abspath(os.fspath(preset)), "controls": controls}

    entries, places, futures, claimed = [], [], {}, {}
    for i, (path, relative, problem) in enumerate(_plumbra._gather(inputs, out_dir)):
        out_path = _output_path(out_dir, relative, ext)
        if not problem and out_path in claimed:
            problem = "its output " + out_path + " is also the output of " + claimed[out_path]
        claimed.setdefault(out_path, path)
        places.append((path, out_path))
        entries.append(_failed(path, out_path, problem) if problem else None)
        if not problem:
            # A key of the file alone: submitting the same library again finds the same tasks.
            token = repr((path, out_path, sorted(options.items()), skip_existing)).encode()
            key = "plumbra-render-" + hashlib.sha1(token).hexdigest()
            futures[client.submit(_render_one, path, out_path, options, skip_existing, key=key, pure=False)] = i
    for future in distributed.as_completed(list(futures)):
        i = futures[future]
        try:
            entries[i] = future.result()
        except Exception as e:  # the task itself was lost too often (KilledWorker) or cancelled
            entries[i] = _failed(*places[i], repr(e))
    return entries
