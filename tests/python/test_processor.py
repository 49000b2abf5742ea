"""plumbra.Processor against `plumbra render --raw-latency`: the same processor, bit for bit,
block by block; controls, meters and threads."""
import threading
import time

import numpy as np
import pytest

import plumbra
from conftest import bursts, host_render, programme

RATE = 48000


def chunked(p, x, rng):
    """x through p in random chunks, 0 and 1 frame included."""
    out, at = [], 0
    while at < len(x):
        n = int(rng.choice([0, 1, 7, 64, 333, 1024, 4099]))
        out.append(p.process(x[at:at + n]))
        at += n
    return np.concatenate(out)


@pytest.mark.parametrize("signal", ["programme", "silence", "bursts"])
def test_process_equals_raw_latency_render_in_one_call_and_in_chunks(tmp_path, signal):
    x = {"programme": programme(), "silence": np.zeros(RATE * 2, np.float32), "bursts": bursts()}[signal]
    expected, report = host_render(tmp_path, x, RATE, "--raw-latency")
    assert report["latency_samples"] == 3552 and not report["latency_compensated"]

    whole = plumbra.Processor(RATE).process(x)
    assert whole.dtype == np.float32 and whole.shape == (len(x), 2)
    assert np.array_equal(whole.view(np.uint32), expected.view(np.uint32))

    pieces = chunked(plumbra.Processor(RATE), x.astype(np.float64).reshape(-1, 1), np.random.default_rng(3))
    assert np.array_equal(pieces.view(np.uint32), expected.view(np.uint32))
    if signal != "silence":
        assert np.abs(whole).max() > 0.01


def test_stereo_feed_is_mixed_as_render_mixes_it(tmp_path):
    x = np.stack([programme(seed=1), programme(seed=2)[::-1].copy()], axis=1)
    expected, _ = host_render(tmp_path, x, RATE, "--raw-latency")
    got = plumbra.Processor(RATE).process(x)
    assert np.array_equal(got.view(np.uint32), expected.view(np.uint32))


def test_latency_and_reset():
    p = plumbra.Processor(44100)
    assert p.latency == 3552
    impulse = np.zeros(8000, np.float32)
    impulse[0] = 0.5
    first = p.process(impulse)
    p.process(programme(44100, 1.0))
    p.reset()
    assert np.array_equal(p.process(impulse), first)
    # Nothing comes out before the delay.
    assert not np.any(first[:3552 - 64])


def test_controls_by_symbol_and_by_label_equal_the_command_lines(tmp_path):
    x = programme(seconds=2.0)
    expected, report = host_render(tmp_path, x, RATE, "--raw-latency", "--set", "Lowpass Filter=12000",
                                   "--set", "Disable WRMI EQ=on", "--set", "Band 1 Level dB=3")
    by_symbol = plumbra.Processor(RATE, lowpass_filter=12000, disable_wrmi_eq=True, band_1_level_db=3)
    by_label = plumbra.Processor(RATE)
    by_label.set({"Lowpass Filter": 12000.0, "disable wrmi eq": "on", "band_1_level_db": 3})
    assert by_symbol.values == by_label.values
    assert by_symbol.values["lowpass_filter"] == 12000.0 and by_symbol.values["disable_wrmi_eq"] is True
    for p in (by_symbol, by_label):
        assert np.array_equal(p.process(x).view(np.uint32), expected.view(np.uint32))
    # The defaults give another sound.
    assert not np.array_equal(plumbra.Processor(RATE).process(x), expected)


def test_preset_file(tmp_path):
    preset = tmp_path / "p.txt"
    preset.write_text("# a preset\nLowpass Filter=8000\nDNR Sensitivity = 100\n")
    p = plumbra.Processor(RATE, preset=str(preset), dnr_sensitivity=50)
    assert p.values["lowpass_filter"] == 8000 and p.values["dnr_sensitivity"] == 50


def test_tables():
    controls = plumbra.controls()
    assert len(controls) == 19
    c = {c["symbol"]: c for c in controls}
    assert c["lowpass_filter"] == {"label": "Lowpass Filter", "symbol": "lowpass_filter", "unit": "Hz", "min": 1000.0,
                                   "max": 15000.0, "default": 9700.0, "step": 100.0, "toggle": False,
                                   "group": "Input filter"}
    assert c["dnr_lpf_disable"]["toggle"] and c["band_2_1_gain_linking_db"]["group"] == "Gain linking"
    assert plumbra.Processor(RATE).values == {s: (bool(v["default"]) if v["toggle"] else v["default"])
                                              for s, v in c.items()}
    meters = plumbra.meter_table()
    assert [m["symbol"] for m in meters[:4]] == ["band_1_gain_low", "band_1_gain_high", "band_1_gate", "band_1_level"]
    assert meters[-1]["symbol"] == "noise_reduction_cutoff" and meters[-1]["unit"] == "Hz"
    assert {t["name"]: t["integrated_lufs"] for t in plumbra.targets()}["ebu-r128"] == -23
    assert plumbra.__version__


def test_meters_follow_the_last_call():
    p = plumbra.Processor(RATE)
    assert set(p.meters) == {m["symbol"] for m in plumbra.meter_table()}
    loud = (0.5 * np.sin(2 * np.pi * 1000 * np.arange(RATE) / RATE)).astype(np.float32)
    p.process(loud)
    m = p.meters
    assert m["input_peak"] == pytest.approx(-6.02, abs=0.05)
    assert m["input_rms"] == pytest.approx(-9.03, abs=0.05)
    assert -30 < m["output_peak"] <= -0.99
    p.process(np.zeros(4800, np.float32))
    assert p.meters["input_peak"] <= -120 + 1e-3 and p.meters["input_rms"] <= -120 + 1e-3


def test_nan_input_reads_as_silence_as_in_the_plug_in(tmp_path):
    x = programme(seconds=1.0)
    x[1000:1100] = np.nan
    x[2000] = np.inf
    out = plumbra.Processor(RATE).process(x)
    assert np.all(np.isfinite(out))
    clean = x.copy()
    clean[~np.isfinite(clean)] = 0
    assert np.array_equal(out, plumbra.Processor(RATE).process(clean))


def test_bad_input_raises_with_the_command_lines_messages():
    with pytest.raises(KeyError, match="unknown parameter \"no_such\""):
        plumbra.Processor(RATE, no_such=1)
    with pytest.raises(ValueError, match=r"\"Band 1 Level dB\" value 30.0 is out of range 0 to 24 dB"):
        plumbra.Processor(RATE).set({"band_1_level_db": 30})
    with pytest.raises(ValueError, match="is a switch"):
        plumbra.Processor(RATE).set({"dnr_lpf_disable": "maybe"})
    with pytest.raises(ValueError, match="is not a number"):
        plumbra.Processor(RATE).set({"mbeq_mt": "loud"})
    p = plumbra.Processor(RATE)
    with pytest.raises(KeyError):
        p.set({"mbeq_mt": -10, "nope": 1})
    assert p.values["mbeq_mt"] == -35  # nothing set when one fails
    for rate in (0, -44100, 44100.5, 10**9):
        with pytest.raises(ValueError, match="sample rate"):
            plumbra.Processor(rate)
    with pytest.raises(TypeError):
        plumbra.Processor("44100")
    with pytest.raises(TypeError, match="float32 or float64"):
        p.process(np.zeros(10, np.int16))
    with pytest.raises(TypeError):
        p.process([0.0, 0.1])
    for shape in [(10, 3), (2, 3, 4), (10, 0), ()]:
        with pytest.raises(ValueError, match="shaped"):
            p.process(np.zeros(shape, np.float32))
    with pytest.raises(TypeError):
        p.set({"mbeq_mt": object()})
    with pytest.raises(OSError, match="cannot read preset"):
        plumbra.Processor(RATE, preset="/nonexistent/preset.txt")
    assert p.process(np.zeros(0, np.float32)).shape == (0, 2)


def test_the_gil_is_released_and_two_processors_run_in_parallel():
    x = np.tile(programme(seconds=1.0), 4)
    a, b = plumbra.Processor(RATE), plumbra.Processor(RATE)

    # While one thread processes, this one keeps running Python.
    done, gaps = [], []
    t = threading.Thread(target=lambda: done.append(a.process(x)))
    start = time.perf_counter()
    t.start()
    last = start
    while t.is_alive():
        now = time.perf_counter()
        gaps.append(now - last)
        last = now
    took = time.perf_counter() - start
    t.join()
    assert done and took > 0.05
    assert max(gaps) < 0.5 * took, f"the main thread stalled {max(gaps):.3f} s of {took:.3f} s"

    # Two processors on two threads give what each gives alone; the timing ratio is reported.
    alone = time.perf_counter()
    ref = plumbra.Processor(RATE).process(x)
    alone = time.perf_counter() - alone
    results = {}
    threads = [threading.Thread(target=lambda k=k, p=p: results.__setitem__(k, p.process(x)))
               for k, p in (("a", plumbra.Processor(RATE)), ("b", b))]
    both = time.perf_counter()
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    both = time.perf_counter() - both
    assert np.array_equal(results["a"], ref) and np.array_equal(results["b"], ref)
    print(f"two processors on two threads: {both:.3f} s against {alone:.3f} s for one (ratio {both / alone:.2f})")
