"""plumbra: the twelve-band loudness and dynamics processor, in-process.

Arrays in, arrays out: samples shaped (frames,) or (frames, channels), float32
or float64 in, float32 (frames, 2) out. The processor is the one the plug-in
runs, bit for bit; render() and render_file() deliver to loudness targets as
`plumbra render` does, and analyze() measures as `plumbra analyze` does.

    import plumbra, soundfile
    x, rate = soundfile.read("show.wav", dtype="float32")
    y, report = plumbra.render(x, rate, target="podcast")
    soundfile.write("show-processed.wav", y, rate, subtype="FLOAT")
"""
import json as _json

from ._plumbra import Processor, controls, meter_table, targets, __version__
from . import _plumbra

__all__ = ["Processor", "controls", "meter_table", "targets", "render", "render_file", "analyze",
           "analyze_file", "__version__"]


def render(x, sample_rate, *, preset=None, controls=None, target=None, true_peak=None, max_gain=None):
    """Renders a programme as `plumbra render` does: returns (audio, report).

    x: float32 or float64 samples shaped (n,), (n, 1) or (n, 2) (stereo is fed as
    its mix (L+R)/2). The audio is float32 (n, 2), aligned with the input (the
    processor's delay removed) and of its length. preset: a preset file;
    controls: {label or symbol: value}. target: a target name (targets()) or a
    loudness in LUFS; the programme is then measured, brought to it with a gain
    and held under the ceiling (true_peak, dBTP, replaces the target's) by the
    true-peak limiter; max_gain (dB) caps that gain. The report is a dict with
    the keys of `plumbra render --report-json`; with a target, its "delivery"
    member says whether the programme passes.
    """
    audio, report = _plumbra._render(x, sample_rate, preset, controls, target, true_peak, max_gain)
    return audio, _json.loads(report)


def render_file(in_path, out_path, *, preset=None, controls=None, target=None, true_peak=None, max_gain=None,
                sample_format=None, raw_latency=False, tags=True):
    """Renders a file into another as `plumbra render IN OUT` does and returns the report.

    The output appears whole or not at all (written beside it, then renamed
    into place). Options as render(); sample_format: "16", "24" or "float"
    (default: the input's); raw_latency keeps the processor's delay; tags copies
    the input's tags. The report is a dict with the keys of --report-json.
    """
    report = _plumbra._render_file(str(in_path), str(out_path), preset, controls, target, true_peak, max_gain,
                                   sample_format or "", raw_latency, tags)
    return _json.loads(report)


def analyze(x, sample_rate):
    """Measures samples as `plumbra analyze --json` measures a file: a dict with
    integrated_lufs, loudness_range_lu, true_peak_dbtp, sample_peak_dbfs,
    duration_s, sample_rate and channels (None where silence has no figure).
    x: float32 or float64, shaped (n,) or (n, channels)."""
    return _json.loads(_plumbra._analyze(x, sample_rate))


def analyze_file(path, *, target=None, true_peak=None):
    """Measures an audio file as `plumbra analyze --json` does (one entry of its
    "files"); with a target, its "target" member holds the check."""
    return _json.loads(_plumbra._analyze_file(str(path), target, true_peak))
