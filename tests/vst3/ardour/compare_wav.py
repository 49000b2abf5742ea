#!/usr/bin/env python3
"""Compares the sample data of two 32-bit float WAV files bit for bit and
prints their size and levels. Exit status 0 only if the data are equal, carry
audio (not silence), and both have two channels."""
import array
import math
import struct
import sys


def read(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] not in (b"RIFF", b"RF64") or data[8:12] != b"WAVE":
        sys.exit(f"{path}: not a WAV file")
    pos, fmt, samples = 12, None, None
    while pos + 8 <= len(data):
        tag, size = data[pos:pos + 4], struct.unpack("<I", data[pos + 4:pos + 8])[0]
        body = data[pos + 8:pos + 8 + size]
        if tag == b"fmt ":
            fmt = struct.unpack("<HHIIHH", body[:16])
        elif tag == b"data":
            samples = body
        pos += 8 + size + (size & 1)
    if not fmt or samples is None:
        sys.exit(f"{path}: no format or data chunk")
    code, channels, rate, _, _, bits = fmt
    if bits != 32 or code not in (3, 0xFFFE):
        sys.exit(f"{path}: not 32-bit float ({code}, {bits} bits)")
    values = array.array("f")
    values.frombytes(samples)
    return channels, rate, samples, values


a, b = read(sys.argv[1]), read(sys.argv[2])
for path, (channels, rate, _, v) in ((sys.argv[1], a), (sys.argv[2], b)):
    peak = max(abs(x) for x in v) if v else 0.0
    rms = math.sqrt(sum(x * x for x in v) / len(v)) if v else 0.0
    print(f"{path}: {channels} ch, {rate} Hz, {len(v) // channels} frames, peak {peak:.4f}, rms {rms:.4f}")
if a[0] != 2 or b[0] != 2:
    sys.exit("expected two channels")
if not a[3] or max(abs(x) for x in a[3]) < 0.01:
    sys.exit("the first export is silent")
if a[2] != b[2]:
    first = next((i for i in range(min(len(a[3]), len(b[3]))) if a[3][i] != b[3][i]), None)
    sys.exit(f"exports differ (lengths {len(a[3])}, {len(b[3])}; first differing sample {first})")
print("identical sample data")
