"""plumbra.render, render_file, analyze and analyze_file against the command line's
renders and reports, and delivery measured independently with libebur128."""
import json

import numpy as np
import pytest

import plumbra
from conftest import host_render, programme, run_host, tone, write_float

RATE = 48000


def test_render_equals_plumbra_render_aligned_at_the_inputs_length(tmp_path):
    x = np.stack([programme(seed=4), programme(seed=5)], axis=1)
    expected, expected_report = host_render(tmp_path, x, RATE, "--set", "MBEQ Mt=-20")
    audio, report = plumbra.render(x, RATE, controls={"mbeq_mt": -20})
    assert audio.shape == (len(x), 2)
    assert np.array_equal(audio.view(np.uint32), expected.view(np.uint32))
    assert set(report) == set(expected_report)
    assert report["output"]["loudness"] == expected_report["output"]["loudness"]
    assert report["parameters"] == expected_report["parameters"] and report["parameters"]["MBEQ Mt"] == "-20"


@pytest.mark.parametrize("target", ["ebu-r128", "-16"])
def test_render_to_a_target_lands_within_a_tenth_of_a_lu(tmp_path, target, ebur128):
    x = np.tile(programme(seconds=4.0), 3)
    audio, report = plumbra.render(x, RATE, target=target)
    lufs = {"ebu-r128": -23.0, "-16": -16.0}[target]
    measured, true_peak = ebur128.measure(audio, RATE)
    assert measured == pytest.approx(lufs, abs=0.1)
    assert true_peak <= -1.0 + 0.05
    assert report["delivery"]["compliance"]["status"] == "pass"
    # The command line delivers the same audio.
    expected, _ = host_render(tmp_path, x, RATE, "--target", target)
    assert np.array_equal(audio.view(np.uint32), expected.view(np.uint32))


def test_max_gain_and_true_peak(ebur128):
    x = 0.05 * programme(seconds=6.0)
    loud, _ = plumbra.render(x, RATE, target="podcast", true_peak=-3)
    assert ebur128.measure(loud, RATE)[1] <= -3 + 0.05
    held, report = plumbra.render(x, RATE, target="podcast", max_gain=3)
    plain, _ = plumbra.render(x, RATE)
    assert ebur128.measure(held, RATE)[0] == pytest.approx(ebur128.measure(plain, RATE)[0] + 3, abs=0.1)
    assert report["delivery"]["gain_db"] == pytest.approx(3, abs=0.01)


def test_render_file_and_analyze_file_give_the_command_lines_reports(tmp_path):
    src = tmp_path / "show.wav"
    write_float(src, programme(), RATE)
    report = plumbra.render_file(src, tmp_path / "py.wav", controls={"Lowpass Filter": 11000})
    run_host("render", src, tmp_path / "cli.wav", "--quiet", "--set", "Lowpass Filter=11000",
             "--report-json", tmp_path / "cli.json")
    cli = json.loads((tmp_path / "cli.json").read_text())
    assert (tmp_path / "py.wav").read_bytes() == (tmp_path / "cli.wav").read_bytes()
    assert set(report) == set(cli)

    mine = plumbra.analyze_file(tmp_path / "py.wav")
    theirs = json.loads(run_host("analyze", "--json", tmp_path / "cli.wav").stdout)["files"][0]
    mine.pop("file"), theirs.pop("file")
    assert mine == theirs


def test_analyze_on_known_tones(ebur128):
    # 997 Hz at -20 dBFS in one channel of a mono programme: -23 LUFS, -20 dBTP.
    x = tone(997, -20)
    m = plumbra.analyze(x, RATE)
    assert m["integrated_lufs"] == pytest.approx(-23.0, abs=0.05)
    assert m["true_peak_dbtp"] == pytest.approx(-20.0, abs=0.05)
    assert m["sample_peak_dbfs"] == pytest.approx(-20.0, abs=0.01)
    assert m["duration_s"] == pytest.approx(5.0)
    assert m["channels"] == 1 and m["sample_rate"] == RATE
    assert m["integrated_lufs"] == pytest.approx(ebur128.measure(x, RATE)[0], abs=0.01)
    # The same tone in both channels is 3 dB louder; the loudness range of a steady tone is 0.
    s = plumbra.analyze(np.stack([x, x], axis=1).astype(np.float64), RATE)
    assert s["integrated_lufs"] == pytest.approx(-19.99, abs=0.05) and s["loudness_range_lu"] == pytest.approx(0, abs=0.1)
    silent = plumbra.analyze(np.zeros(RATE, np.float32), RATE)
    assert silent["integrated_lufs"] is None and silent["sample_peak_dbfs"] is None


def test_render_and_analyze_reject_bad_input(tmp_path):
    x = programme(seconds=0.5)
    with pytest.raises(ValueError, match="--target wants a name"):
        plumbra.render(x, RATE, target="loud")
    with pytest.raises(ValueError, match="--true-peak wants a ceiling"):
        plumbra.render(x, RATE, target="podcast", true_peak=3)
    with pytest.raises(ValueError, match="--true-peak sets the ceiling of a --target"):
        plumbra.render(x, RATE, true_peak=-2)
    with pytest.raises(KeyError, match="unknown parameter"):
        plumbra.render(x, RATE, controls={"volume": 11})
    with pytest.raises(ValueError, match="out of range 1000 to 15000 Hz"):
        plumbra.render(x, RATE, controls={"lowpass_filter": 20000})
    with pytest.raises(ValueError, match="shaped"):
        plumbra.render(np.zeros((10, 3), np.float32), RATE)
    with pytest.raises(ValueError, match="sample rate"):
        plumbra.analyze(x, 0)
    with pytest.raises(OSError):
        plumbra.analyze_file(tmp_path / "missing.wav")
    with pytest.raises(OSError):
        plumbra.render_file(tmp_path / "missing.wav", tmp_path / "out.wav")
    assert not (tmp_path / "out.wav").exists()
    # NaN in a programme renders like silence there, as in the plug-in.
    y = x.copy()
    y[100:200] = np.nan
    audio, report = plumbra.render(y, RATE)
    assert np.all(np.isfinite(audio)) and report["non_finite_samples"] == 0
