"""plumbra.dask.render_library on a real cluster on loopback: a scheduler and two workers
as separate processes; one worker is killed while the library renders, and every
output still equals `plumbra render -o`'s, byte for byte."""
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
import soundfile

from conftest import programme, run_host

distributed = pytest.importorskip("distributed")
import plumbra.dask  # noqa: E402

pytestmark = pytest.mark.cluster
RATE = 48000


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(args, tmp_path, name):
    log = open(tmp_path / (name + ".log"), "w")
    return subprocess.Popen([sys.executable, "-m", *args], stdout=log, stderr=subprocess.STDOUT, cwd=tmp_path)


@pytest.fixture
def cluster(tmp_path):
    port = free_port()
    address = f"tcp://127.0.0.1:{port}"
    procs = [start(["distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", str(port),
                    "--dashboard-address", "127.0.0.1:0"], tmp_path, "scheduler")]
    try:
        for i in range(2):
            procs.append(start(["distributed.cli.dask_worker", address, "--host", "127.0.0.1", "--nthreads", "1",
                                "--no-nanny", "--dashboard-address", "127.0.0.1:0", "--name", f"w{i}",
                                "--local-directory", str(tmp_path / f"w{i}")], tmp_path, f"w{i}"))
        client = distributed.Client(address, timeout=60)
        client.wait_for_workers(2, timeout=60)
        yield client, procs
        client.close()
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in procs:
            try:
                p.wait(timeout=20)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


def library(root):
    """Twelve programmes in nested folders, mono and stereo, 16-bit and float."""
    for i in range(12):
        folder = root / ("talk" if i % 2 else "music") / ("deep" if i % 3 == 0 else "")
        folder.mkdir(parents=True, exist_ok=True)
        x = np.tile(programme(seconds=2.0, seed=i), 3)
        if i % 4 == 1:
            x = np.stack([x, programme(seconds=6.0, seed=i + 50)], axis=1)
        soundfile.write(str(folder / f"show{i:02}.wav"), x, RATE, subtype="FLOAT" if i % 2 else "PCM_16")


def visible_files(root):
    return sorted(os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(root) for f in fs
                  if not f.startswith("."))


def test_a_lost_workers_files_are_rendered_elsewhere_and_equal_the_command_lines(tmp_path, cluster):
    client, procs = cluster
    library(tmp_path / "in")
    run_host("render", "-o", tmp_path / "cli", "--quiet", "--set", "Lowpass Filter=12000", tmp_path / "in")

    entries = []
    runner = threading.Thread(target=lambda: entries.extend(plumbra.dask.render_library(
        [tmp_path / "in"], tmp_path / "out", client, controls={"lowpass_filter": 12000})))
    runner.start()
    # Kill the first worker as soon as it is rendering a file.
    victim = procs[1]
    deadline = time.monotonic() + 120
    killed_while_busy = False
    while time.monotonic() < deadline and runner.is_alive():
        busy = {w: tasks for w, tasks in client.processing().items() if tasks}
        names = {w: info.get("name") for w, info in client.scheduler_info()["workers"].items()}
        if any(names.get(w) == "w0" for w in busy):
            os.kill(victim.pid, signal.SIGKILL)
            victim.wait()
            killed_while_busy = True
            break
        time.sleep(0.02)
    runner.join(timeout=300)
    assert killed_while_busy and not runner.is_alive()

    assert len(entries) == 12
    assert [e["status"] for e in entries] == ["ok"] * 12, [e.get("reason") for e in entries]
    assert visible_files(tmp_path / "out") == visible_files(tmp_path / "cli")
    for rel in visible_files(tmp_path / "cli"):
        assert (tmp_path / "out" / rel).read_bytes() == (tmp_path / "cli" / rel).read_bytes(), rel

    # Again, into FLAC: a missing input is an entry, not an exception; then every output exists and is kept.
    again = plumbra.dask.render_library([tmp_path / "in", tmp_path / "missing.wav"], tmp_path / "out", client,
                                        ext="flac")
    assert [e["status"] for e in again] == ["ok"] * 12 + ["failed"]
    assert "missing.wav" in again[-1]["reason"]
    assert all(e["output"]["file"].endswith(".flac") for e in again[:12])
    kept = plumbra.dask.render_library(tmp_path / "in", tmp_path / "out", client)
    assert [e["status"] for e in kept] == ["skipped"] * 12
