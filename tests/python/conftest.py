"""plumbra (build/native/python on PYTHONPATH) against the built program (PLUMBRA_HOST),
whose float WAV files soundfile reads exactly."""
import ctypes
import ctypes.util
import json
import os
import subprocess

import numpy as np
import pytest
import soundfile

HOST = os.environ.get("PLUMBRA_HOST", "")


def pytest_configure(config):
    config.addinivalue_line("markers", "cluster: starts a Dask scheduler and workers on loopback")


def run_host(*args, check=True):
    """plumbra with these arguments; its completed process."""
    if not HOST:
        pytest.skip("PLUMBRA_HOST is not set (ctest sets it)")
    r = subprocess.run([HOST, *map(str, args)], capture_output=True, text=True)
    if check and r.returncode != 0:
        raise AssertionError(f"plumbra {' '.join(map(str, args))} exited {r.returncode}: {r.stderr}")
    return r


def write_float(path, x, rate):
    soundfile.write(str(path), x, rate, subtype="FLOAT")


def host_render(tmp_path, x, rate, *args, name="in.wav"):
    """`plumbra render` of x (written as float WAV) with the extra arguments: (audio, report)."""
    src, out, rep = tmp_path / name, tmp_path / ("out-" + name), tmp_path / (name + ".json")
    write_float(src, x, rate)
    run_host("render", src, out, "--quiet", "--report-json", rep, *args)
    return soundfile.read(str(out), dtype="float32", always_2d=True)[0], json.loads(rep.read_text())


def programme(rate=48000, seconds=3.0, seed=7):
    """Speech-like programme: tones and noise under a syllable envelope, with a quiet stretch."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(rate * seconds)) / rate
    voice = 0.3 * np.sin(2 * np.pi * 180 * t) + 0.15 * np.sin(2 * np.pi * 1230 * t) + 0.05 * rng.standard_normal(t.size)
    envelope = 0.5 + 0.5 * np.sin(2 * np.pi * 3.1 * t) ** 2
    envelope[(t > 1.2) & (t < 1.6)] = 0.01
    return (voice * envelope).astype(np.float32)


def bursts(rate=48000, seconds=3.0):
    """Silence with loud 50 ms tone bursts every half second."""
    x = np.zeros(int(rate * seconds), dtype=np.float32)
    burst = 0.9 * np.sin(2 * np.pi * 2500 * np.arange(int(0.05 * rate)) / rate)
    for start in range(rate // 4, x.size - burst.size, rate // 2):
        x[start:start + burst.size] = burst
    return x


def tone(freq, dbfs, rate=48000, seconds=5.0):
    t = np.arange(int(rate * seconds)) / rate
    return (10 ** (dbfs / 20) * np.sin(2 * np.pi * freq * t)).astype(np.float32)


class Ebur128:
    """libebur128 through ctypes: the meter the command line uses, called independently of it."""
    MODE_I = (1 << 2) | (1 << 0)
    MODE_TRUE_PEAK = (1 << 5) | (1 << 4) | (1 << 0)

    def __init__(self):
        path = ctypes.util.find_library("ebur128")
        if not path:
            pytest.skip("libebur128 is not installed")
        self.lib = ctypes.CDLL(path)
        self.lib.ebur128_init.restype = ctypes.c_void_p
        self.lib.ebur128_init.argtypes = [ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
        self.lib.ebur128_add_frames_float.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
        self.lib.ebur128_loudness_global.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_double)]
        self.lib.ebur128_true_peak.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.POINTER(ctypes.c_double)]
        self.lib.ebur128_destroy.argtypes = [ctypes.POINTER(ctypes.c_void_p)]

    def measure(self, x, rate):
        """(integrated LUFS, highest true peak in dBTP) of float samples shaped (n, channels)."""
        x = np.ascontiguousarray(x, dtype=np.float32).reshape(len(x), -1)
        st = ctypes.c_void_p(self.lib.ebur128_init(x.shape[1], rate, self.MODE_I | self.MODE_TRUE_PEAK))
        assert st.value
        try:
            self.lib.ebur128_add_frames_float(st, x.ctypes.data, x.shape[0])
            lufs, peak, tp = ctypes.c_double(), 0.0, ctypes.c_double()
            assert self.lib.ebur128_loudness_global(st, ctypes.byref(lufs)) == 0
            for c in range(x.shape[1]):
                assert self.lib.ebur128_true_peak(st, c, ctypes.byref(tp)) == 0
                peak = max(peak, tp.value)
            return lufs.value, 20 * np.log10(peak) if peak > 0 else -np.inf
        finally:
            self.lib.ebur128_destroy(ctypes.byref(st))


@pytest.fixture(scope="session")
def ebur128():
    return Ebur128()
