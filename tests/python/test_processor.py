"""plumbra.Processor against `plumbra render --raw-latency`, bit for bit; controls, meters, threads."""
import threading
import time

import numpy as np
import pytest

import plumbra
from conftest import bursts, host_render, programme

RATE = 48000


def bits(a):
    return a.view(np.uint32)


@pytest.mark.parametrize("signal", ["programme", "silence", "bursts", "stereo"])
def test_process_equals_raw_latency_render_in_one_call_and_in_random_chunks(tmp_path, signal):
    x = {"programme": programme(), "silence": np.zeros(RATE * 2, np.float32), "bursts": bursts(),
         "stereo": np.stack([programme(seed=1), programme(seed=2)[::-1]], axis=1)}[signal]
    expected, report = host_render(tmp_path, x, RATE, "--raw-latency")
    assert report["latency_samples"] == 3552 and not report["latency_compensated"]
    whole = plumbra.Processor(RATE).process(x)
    assert whole.dtype == np.float32 and whole.shape == (len(x), 2)
    assert np.array_equal(bits(whole), bits(expected))
    # float64, in chunks of 0, 1 and odd sizes.
    p, rng, pieces, at = plumbra.Processor(RATE), np.random.default_rng(3), [], 0
    x64 = x.astype(np.float64).reshape(len(x), -1)
    while at < len(x):
        n = int(rng.choice([0, 1, 7, 333, 1024, 4099]))
        pieces.append(p.process(x64[at:at + n]))
        at += n
    assert np.array_equal(bits(np.concatenate(pieces)), bits(expected))
    assert (np.abs(whole).max() > 0.01) == (signal != "silence")


def test_controls_by_symbol_label_and_preset_equal_the_command_lines(tmp_path):
    x = programme(seconds=2.0)
    expected, _ = host_render(tmp_path, x, RATE, "--raw-latency", "--set", "Lowpass Filter=12000",
                              "--set", "Disable WRMI EQ=on", "--set", "Band 1 Level dB=3")
    by_symbol = plumbra.Processor(RATE, lowpass_filter=12000, disable_wrmi_eq=True, band_1_level_db=3)
    by_label = plumbra.Processor(RATE)
    by_label.set({"Lowpass Filter": 12000.0, "disable wrmi eq": "on", "band_1_level_db": 3})
    preset = tmp_path / "p.txt"
    preset.write_text("# a preset\nLowpass Filter=12000\nDisable WRMI EQ = on\n")
    by_preset = plumbra.Processor(RATE, preset=str(preset), band_1_level_db=3)
    assert by_symbol.values == by_label.values == by_preset.values
    assert by_symbol.values["lowpass_filter"] == 12000.0 and by_symbol.values["disable_wrmi_eq"] is True
    for p in (by_symbol, by_label, by_preset):
        assert np.array_equal(bits(p.process(x)), bits(expected))
    assert not np.array_equal(plumbra.Processor(RATE).process(x), expected)


def test_tables():
    c = {c["symbol"]: c for c in plumbra.controls()}
    assert len(c) == 19
    assert c["lowpass_filter"] == {"label": "Lowpass Filter", "symbol": "lowpass_filter", "unit": "Hz", "min": 1000.0,
                                   "max": 15000.0, "default": 9700.0, "step": 100.0, "toggle": False,
                                   "group": "Input filter"}
    assert c["dnr_lpf_disable"]["toggle"] and c["band_2_1_gain_linking_db"]["group"] == "Gain linking"
    assert plumbra.Processor(RATE).values == {s: bool(v["default"]) if v["toggle"] else v["default"] for s, v in c.items()}
    meters = plumbra.meter_table()
    assert [m["symbol"] for m in meters[:4]] == ["band_1_gain_low", "band_1_gain_high", "band_1_gate", "band_1_level"]
    assert meters[-1]["symbol"] == "noise_reduction_cutoff" and meters[-1]["unit"] == "Hz"
    assert {t["name"]: t["integrated_lufs"] for t in plumbra.targets()}["ebu-r128"] == -23
    assert plumbra.__version__


def test_meters_latency_and_reset():
    p = plumbra.Processor(RATE)
    assert p.latency == 3552 and set(p.meters) == {m["symbol"] for m in plumbra.meter_table()}
    first = p.process((0.5 * np.sin(2 * np.pi * 1000 * np.arange(RATE) / RATE)).astype(np.float32))
    assert p.meters["input_peak"] == pytest.approx(-6.02, abs=0.05)
    assert p.meters["input_rms"] == pytest.approx(-9.03, abs=0.05)
    assert -30 < p.meters["output_peak"] <= -0.99
    assert not np.any(first[:3552 - 64]) and np.any(first[3552:])  # nothing before the delay
    p.process(np.zeros(4800, np.float32))
    assert p.meters["input_peak"] <= -119.99 and p.meters["input_rms"] <= -119.99
    p.reset()
    assert np.array_equal(p.process((0.5 * np.sin(2 * np.pi * 1000 * np.arange(RATE) / RATE))), first)


def test_bad_input_raises_and_nan_reads_as_silence():
    with pytest.raises(KeyError, match="unknown parameter \"no_such\""):
        plumbra.Processor(RATE, no_such=1)
    p = plumbra.Processor(RATE)
    with pytest.raises(ValueError, match=r"\"Band 1 Level dB\" value 30.0 is out of range 0 to 24 dB"):
        p.set({"band_1_level_db": 30})
    for bad, why in [({"dnr_lpf_disable": "maybe"}, "is a switch"), ({"mbeq_mt": "loud"}, "is not a number")]:
        with pytest.raises(ValueError, match=why):
            p.set(bad)
    with pytest.raises(KeyError):
        p.set({"mbeq_mt": -10, "nope": 1})
    assert p.values["mbeq_mt"] == -35  # nothing set when one fails
    for rate in (0, -44100, 44100.5, 10**9):
        with pytest.raises(ValueError, match="sample rate"):
            plumbra.Processor(rate)
    for bad in ["44100", None]:
        with pytest.raises(TypeError):
            plumbra.Processor(bad)
    with pytest.raises(TypeError, match="float32 or float64"):
        p.process(np.zeros(10, np.int16))
    for bad in ([0.0, 0.1], np.zeros(4, np.complex64)):
        with pytest.raises(TypeError):
            p.process(bad)
    for shape in [(10, 3), (2, 3, 4), (10, 0), ()]:
        with pytest.raises(ValueError, match="shaped"):
            p.process(np.zeros(shape, np.float32))
    with pytest.raises(TypeError):
        p.set({"mbeq_mt": object()})
    with pytest.raises(OSError, match="cannot read preset"):
        plumbra.Processor(RATE, preset="/nonexistent/preset.txt")
    assert p.process(np.zeros(0, np.float32)).shape == (0, 2)
    x = programme(seconds=1.0)
    x[1000:1100], x[2000] = np.nan, np.inf
    out = plumbra.Processor(RATE).process(x)
    x[~np.isfinite(x)] = 0
    assert np.all(np.isfinite(out)) and np.array_equal(out, plumbra.Processor(RATE).process(x))


def test_the_gil_is_released_and_two_processors_run_on_two_threads():
    x = np.tile(programme(seconds=1.0), 4)
    # While one thread processes, this one keeps running Python.
    done, gaps = [], []
    t = threading.Thread(target=lambda: done.append(plumbra.Processor(RATE).process(x)))
    start = last = time.perf_counter()
    t.start()
    while t.is_alive():
        now = time.perf_counter()
        gaps.append(now - last)
        last = now
    took = time.perf_counter() - start
    t.join()
    assert done and max(gaps) < 0.5 * took, f"the main thread stalled {max(gaps):.3f} s of {took:.3f} s"
    # Two at once overlap in time (run concurrently, whatever the machine's load) and give
    # what each gives alone; the timing ratio is printed (pytest -s).
    alone = time.perf_counter()
    ref = plumbra.Processor(RATE).process(x)
    alone = time.perf_counter() - alone
    results, spans = {}, {}

    def run(k):
        p = plumbra.Processor(RATE)
        begin = time.perf_counter()
        results[k] = p.process(x)
        spans[k] = (begin, time.perf_counter())

    threads = [threading.Thread(target=run, args=(k,)) for k in range(2)]
    both = time.perf_counter()
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    both = time.perf_counter() - both
    assert np.array_equal(results[0], ref) and np.array_equal(results[1], ref)
    overlap = min(spans[0][1], spans[1][1]) - max(spans[0][0], spans[1][0])
    shorter = min(e - b for b, e in spans.values())
    assert overlap > 0.5 * shorter, f"the two calls overlapped {overlap:.3f} s of {shorter:.3f} s"
    print(f"two processors on two threads: {both:.3f} s against {alone:.3f} s for one (ratio {both / alone:.2f})")
