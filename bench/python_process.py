#!/usr/bin/python3
"""plumbra.Processor.process() from Python in 1024-frame blocks against the C++ engine
running the same blocks without Python (plumbra._plumbra._engine_blocks), as medians
of several runs; then the resident memory over 100,000 calls.

    PYTHONPATH=build/native/python /usr/bin/python3 bench/python_process.py
"""
import os
import statistics
import time

import numpy as np

import plumbra

RATE, BLOCK, BLOCKS, RUNS = 44100, 1024, 400, 7


def programme(n, seed=1):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / RATE
    x = 0.3 * np.sin(2 * np.pi * 220 * t) * (0.5 + 0.5 * np.sin(2 * np.pi * 2.7 * t)) + 0.05 * rng.standard_normal(n)
    return x.astype(np.float32)


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


x = programme(BLOCK * BLOCKS)
blocks = [x[i * BLOCK:(i + 1) * BLOCK] for i in range(BLOCKS)]
whole, blocked = [], []
for _ in range(RUNS):
    whole.append(plumbra._plumbra._engine_blocks(x, RATE, BLOCK))
    p = plumbra.Processor(RATE)
    t = time.perf_counter()
    for b in blocks:
        p.process(b)
    blocked.append(time.perf_counter() - t)
w, b = statistics.median(whole), statistics.median(blocked)
audio = len(x) / RATE
print(f"C++ engine:          {w * 1e6 / BLOCKS:8.1f} us per 1024-frame block ({audio / w:6.1f}x real time)")
print(f"process() in Python: {b * 1e6 / BLOCKS:8.1f} us per 1024-frame block ({audio / b:6.1f}x real time)")
print(f"ratio Python/C++ (medians of {RUNS}): {b / w:.3f}")

p = plumbra.Processor(RATE)
block = blocks[0]
for _ in range(1000):
    p.process(block)
    p.meters
before = rss_kib()
marks = []
for i in range(100_000):
    p.process(block)
    if i % 100 == 0:
        p.meters
    if i % 20_000 == 0:
        marks.append(rss_kib())
after = rss_kib()
print(f"resident memory: {before} KiB after 1000 calls, {after} KiB after 100,000 more (marks {marks})")
