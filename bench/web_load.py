#!/usr/bin/env python3
"""Load on the web server, on loopback only, bounded and self-stopping.

Starts plumbra_web_fixture (the processor fed a generated programme at
real-time pace, with the web server), measures an idle phase, then runs 50
meter-stream clients and 20 control writers for --seconds (30) and reports:
every client served or refused with a status, stream frames per second, write
answers, the fixture's memory before and after, and the time per block of the
audio thread (50th / 99.9th percentile, largest) idle against loaded, with the
xruns of each phase.

  bench/web_load.py --fixture build/native/plumbra_web_fixture [--seconds 30]

With --live PLUMBRA instead, the same load goes to `plumbra live --http` on a
private JACK server (dummy driver, 48 kHz, periods of 128) fed pink noise: one
run of --seconds with an idle server, then one with the clients, back to back;
each run's stop event gives the audio callback's time per period and its xruns.

  bench/web_load.py --live build/native/plumbra [--seconds 30]
"""
import argparse
import json
import os
import random
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def request(port, method, path, token, body=None, timeout=5.0):
    data = json.dumps(body).encode() if body is not None else b""
    head = "%s %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nAuthorization: Bearer %s\r\nConnection: close\r\n" \
           "Content-Type: application/json\r\nContent-Length: %d\r\n\r\n" % (method, path, port, token, len(data))
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(head.encode() + data)
        got = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            got += chunk
    status = int(got[9:12]) if got.startswith(b"HTTP/1.1 ") else 0
    return status, got.split(b"\r\n\r\n", 1)[-1]


def stream_client(port, token, until, result):
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=5)
        s.sendall(("GET /api/stream?token=%s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % (token, port)).encode())
        buf = b""
        frames = 0
        status = None
        s.settimeout(1.0)
        while time.time() < until:
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                break
            if status is None:
                status = int(chunk[9:12]) if chunk.startswith(b"HTTP/1.1 ") else 0
            joined = buf + chunk  # a frame's "data: " may straddle two reads
            frames += joined.count(b"data: ")
            buf = joined[-5:]
        s.close()
        result["status"] = status or 0
        result["frames"] = frames
    except OSError as e:
        result["status"] = 0
        result["error"] = str(e)


def writer(port, token, until, result):
    rng = random.Random(len(result))
    counts = {}
    while time.time() < until:
        try:
            status, _ = request(port, "PUT", "/api/controls", token,
                                {"Final 2k HF Shelf": rng.randint(-12, 0), "MBEQ B1t": rng.randint(-70, 0)})
        except OSError:
            status = 0
        counts[status] = counts.get(status, 0) + 1
        time.sleep(0.05)
    result["counts"] = counts


def block_times(fixture):
    fixture.send_signal(signal.SIGUSR1)
    while True:
        line = fixture.stdout.readline()
        if not line or line.startswith("block-times"):
            return line.strip()


def run_clients(port, token, seconds, nstreams, nwriters):
    until = time.time() + seconds
    streams = [{} for _ in range(nstreams)]
    writers = [{} for _ in range(nwriters)]
    threads = [threading.Thread(target=stream_client, args=(port, token, until, r)) for r in streams]
    threads += [threading.Thread(target=writer, args=(port, token, until, r)) for r in writers]
    for t in threads:
        t.start()
    for t in threads:
        t.join(seconds + 30)
    return streams, writers


def live_run(plumbra, env, work, name, seconds, load):
    """One run of plumbra live with its server; returns its stop event and, under load, the clients."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    events = os.path.join(work, name + ".events")
    live = subprocess.Popen([plumbra, "live", "--quiet", "--http", str(port), "--token-file", os.path.join(work, "token"),
                             "--event-log", events, "--duration", str(seconds + 4)], env=env, stdout=subprocess.DEVNULL)
    feed = subprocess.Popen(["gst-launch-1.0", "-q", "audiotestsrc", "wave=pink-noise", "volume=0.3", "!",
                             "audio/x-raw,channels=1,rate=48000", "!", "jackaudiosink", "connect=none",
                             "client-name=feed%s" % name], env=env, stdout=subprocess.DEVNULL)
    result = {}
    try:
        for _ in range(100):
            if os.path.exists(events) and "http_listening" in open(events).read():
                break
            time.sleep(0.1)
        for _ in range(50):
            if subprocess.run(["jack_connect", "feed%s:out_jackaudiosink0_1" % name, "plumbra:in_left"], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
                break
            time.sleep(0.1)
        token = open(os.path.join(work, "token")).read().strip()
        time.sleep(1.0)
        result["rss_before"] = rss_kib(live.pid)
        if load:
            result["streams"], result["writers"] = run_clients(port, token, seconds, load[0], load[1])
        else:
            time.sleep(seconds)
        result["rss_after"] = rss_kib(live.pid)
        live.wait(seconds + 30)
    finally:
        for p in (live, feed):
            if p.poll() is None:
                p.terminate()
                p.wait(10)
    for line in open(events):
        e = json.loads(line)
        if e.get("event") == "stop":
            result["stop"] = e
    return result


def main_live(args):
    seconds = min(args.seconds, 120.0)
    work = tempfile.mkdtemp(prefix="plumbra-load-")
    server = "pll%d" % os.getpid()
    env = dict(os.environ, JACK_DEFAULT_SERVER=server, JACK_NO_START_SERVER="1", JACK_NO_AUDIO_RESERVATION="1")
    jackd = subprocess.Popen(["jackd", "-n", server, "-d", "dummy", "-r", "48000", "-p", "128"], env=env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        subprocess.run(["jack_wait", "-w", "-t", "10"], env=env, check=True, stdout=subprocess.DEVNULL)
        idle = live_run(args.live, env, work, "idle", seconds, None)
        loaded = live_run(args.live, env, work, "loaded", seconds, (args.streams, args.writers))
    finally:
        jackd.terminate()
        jackd.wait(10)
    for name, r in (("idle", idle), ("loaded", loaded)):
        st = r.get("stop", {})
        cb = st.get("callback_us", {})
        print("%-7s callback per period of %s us: median %s, 99.9th percentile %s, largest %s; xruns %s; "
              "engine CPU %s %%; memory (RSS) %d KiB -> %d KiB" %
              (name, cb.get("period"), cb.get("median"), cb.get("p99_9"), cb.get("largest"), st.get("xruns"),
               st.get("engine_cpu_percent"), r["rss_before"], r["rss_after"]))
    streams, writers = loaded.get("streams", []), loaded.get("writers", [])
    served = [r for r in streams if r.get("status") == 200]
    silent = [r for r in streams if not r.get("status")]
    writes = {}
    for r in writers:
        for k, v in r.get("counts", {}).items():
            writes[k] = writes.get(k, 0) + v
    print("stream clients: %d served, %d refused with a status, %d without an answer" %
          (len(served), len(streams) - len(served) - len(silent), len(silent)))
    if served:
        rates = sorted(r["frames"] / seconds for r in served)
        print("frames per second per client: min %.1f, median %.1f, max %.1f" % (rates[0], rates[len(rates) // 2], rates[-1]))
    print("control writes by status: %s" % writes)
    ok = not silent and writes.get(0, 0) == 0 and "stop" in idle and "stop" in loaded
    print("1 passed, 0 failed" if ok else "0 passed, 1 failed")
    return 0 if ok else 1


def main():
    ap = argparse.ArgumentParser()
    group = ap.add_mutually_exclusive_group(required=True)
    group.add_argument("--fixture")
    group.add_argument("--live")
    ap.add_argument("--seconds", type=float, default=30.0)
    ap.add_argument("--streams", type=int, default=50)
    ap.add_argument("--writers", type=int, default=20)
    args = ap.parse_args()
    if args.live:
        return main_live(args)
    seconds = min(args.seconds, 120.0)  # bounded whatever is asked

    work = tempfile.mkdtemp(prefix="plumbra-load-")
    fixture = subprocess.Popen([args.fixture, "--http", "0", "--token-file", os.path.join(work, "token"),
                                "--seconds", str(seconds + 60)], stdout=subprocess.PIPE, text=True)
    try:
        url = fixture.stdout.readline().split()[1]
        port = int(url.rstrip("/").rsplit(":", 1)[1])
        token = open(os.path.join(work, "token")).read().strip()

        time.sleep(2.0)
        start = block_times(fixture)  # start afresh
        xruns_start = int(start.rsplit("xruns=", 1)[1]) if "xruns=" in start else 0
        rss_before = rss_kib(fixture.pid)
        time.sleep(min(10.0, seconds))
        idle = block_times(fixture)

        streams, writers = run_clients(port, token, seconds, args.streams, args.writers)
        loaded = block_times(fixture)
        rss_after = rss_kib(fixture.pid)
        status, _ = request(port, "GET", "/api/state", token)

        served = [r for r in streams if r.get("status") == 200]
        refused = [r for r in streams if r.get("status") not in (200, 0, None)]
        silent = [r for r in streams if not r.get("status")]
        rates = sorted(r["frames"] / seconds for r in served)
        writes = {}
        for r in writers:
            for k, v in r.get("counts", {}).items():
                writes[k] = writes.get(k, 0) + v
        print("stream clients: %d served, %d refused with a status, %d without an answer" % (len(served), len(refused), len(silent)))
        if rates:
            print("frames per second per client: min %.1f, median %.1f, max %.1f" % (rates[0], rates[len(rates) // 2], rates[-1]))
        print("control writes by status: %s" % writes)
        xr = lambda line: int(line.rsplit("xruns=", 1)[1]) if "xruns=" in line else 0
        print("idle:   %s (xruns in the phase: %d)" % (idle, xr(idle) - xruns_start))
        print("loaded: %s (xruns in the phase: %d)" % (loaded, xr(loaded) - xr(idle)))
        print("fixture memory (RSS): %d KiB before, %d KiB after" % (rss_before, rss_after))
        print("server still answers: %d" % status)
        ok = not silent and writes.get(0, 0) == 0 and status == 200
        print("1 passed, 0 failed" if ok else "0 passed, 1 failed")
        return 0 if ok else 1
    finally:
        fixture.terminate()
        try:
            fixture.wait(10)
        except subprocess.TimeoutExpired:
            fixture.kill()


if __name__ == "__main__":
    sys.exit(main())
