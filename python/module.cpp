// plumbra's Python module (the extension plumbra._plumbra): the linked-in processor
// and the host's render, delivery and analyze, called in-process on numpy arrays.
// Glue over the control and meter tables and the host's own code: every check and
// message comes from there, so Python sees what the command line says.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>

#include "dsp/control_table.h"
#include "dsp/meters.h"
#include "host/audio/audio_io.h"
#include "host/audio/files.h"
#include "host/common/control_text.h"
#include "host/common/json.h"
#include "host/delivery/delivery.h"
#include "host/engine/engine.h"
#include "host/render/batch.h"
#include "host/render/render.h"
#include "host/report/report.h"

namespace py = pybind11;
using namespace plumbra;
using namespace plumbra::host;

namespace {

// ---- Controls: through the program's one reader of control text -------------------

// One setting, by label, symbol or index, from its value as text: checked and set on `engine`.
Status applySetting(Engine& engine, const std::string& name, const std::string& value)
{
    auto parsed = parseSetting(name, value);
    if (!parsed.ok()) return parsed.status();
    engine.setControl(parsed->index, parsed->value);
    return Status::success();
}

// A preset file's settings on `engine`, read as plumbra render reads presets.
Status applyPreset(Engine& engine, const std::string& path)
{
    auto preset = readPresetFile(path);
    if (!preset.ok()) return preset.status();
    for (const ControlSetting& c : preset.value()) engine.setControl(c.index, c.value);
    return Status::success();
}

// ---- Errors -----------------------------------------------------------------------

// Unknown names as KeyError, bad values as ValueError, files that cannot be had as OSError.
[[noreturn]] void raise(const Status& s)
{
    if (s.code == kExitInput || s.code == kExitOutput || s.reason.rfind("cannot read", 0) == 0) {
        PyErr_SetString(PyExc_OSError, s.reason.c_str());
        throw py::error_already_set();
    }
    if (s.code == kExitParameter && s.reason.find("unknown parameter") != std::string::npos) throw py::key_error(s.reason);
    if (s.code == kExitParameter || s.code == kExitUsage) throw py::value_error(s.reason);
    throw std::runtime_error(s.reason);
}

// A value as the command line would have it typed: switches take True/False too.
std::string valueText(const py::handle& v)
{
    if (py::isinstance<py::bool_>(v)) return v.cast<bool>() ? "on" : "off";
    if (py::isinstance<py::str>(v)) return v.cast<std::string>();
    if (py::isinstance<py::int_>(v) || py::isinstance<py::float_>(v) || py::hasattr(v, "__float__"))
        return py::repr(py::float_(py::reinterpret_borrow<py::object>(v))).cast<std::string>();
    throw py::type_error("a control value is a number, a bool or text, not " +
                         py::str(py::type::of(v)).cast<std::string>());
}

// (name, value text) pairs from a dict of settings or keyword arguments.
std::vector<std::pair<std::string, std::string>> settingsOf(const py::handle& controls)
{
    std::vector<std::pair<std::string, std::string>> out;
    if (controls.is_none()) return out;
    if (!py::isinstance<py::dict>(controls)) throw py::type_error("controls are a dict of {label or symbol: value}");
    for (auto [k, v] : controls.cast<py::dict>()) out.emplace_back(py::str(k).cast<std::string>(), valueText(v));
    return out;
}

int rateOf(const py::handle& rate)
{
    if (py::isinstance<py::bool_>(rate) || !(py::isinstance<py::int_>(rate) || py::isinstance<py::float_>(rate)))
        throw py::type_error("sample_rate is a number of Hz, not " + py::str(py::type::of(rate)).cast<std::string>());
    const double r = rate.cast<double>();
    constexpr int kLowest = 1000, kHighest = 768000;
    if (!(r >= kLowest && r <= kHighest) || r != std::floor(r))
        throw py::value_error("sample rate " + py::repr(rate).cast<std::string>() + " is not a whole number of Hz from " +
                              std::to_string(kLowest) + " to " + std::to_string(kHighest));
    return static_cast<int>(r);
}

// Samples as interleaved float32, shaped (n,) or (n, channels), channels 1 .. maxChannels.
struct Samples {
    std::vector<float> interleaved;
    int channels = 1;
    int64_t frames = 0;
};

Samples samplesOf(const py::handle& x, int maxChannels, const char* who)
{
    if (!py::isinstance<py::array>(x))
        throw py::type_error(std::string(who) + " takes a numpy array of float32 or float64 samples, not " +
                             py::str(py::type::of(x)).cast<std::string>());
    const auto a = py::reinterpret_borrow<py::array>(x);
    if (a.dtype().kind() != 'f' || (a.dtype().itemsize() != 4 && a.dtype().itemsize() != 8))
        throw py::type_error(std::string(who) + " takes float32 or float64 samples, not " +
                             py::str(a.dtype()).cast<std::string>());
    const auto shape = [&a]() {
        std::string s = "(";
        for (py::ssize_t i = 0; i < a.ndim(); ++i) s += (i ? ", " : "") + std::to_string(a.shape(i));
        return s + (a.ndim() == 1 ? ",)" : ")");
    };
    if (a.ndim() < 1 || a.ndim() > 2 || (a.ndim() == 2 && (a.shape(1) < 1 || a.shape(1) > maxChannels)))
        throw py::value_error(std::string(who) + " takes samples shaped (frames,) or (frames, channels) with 1 to " +
                              std::to_string(maxChannels) + " channels, not " + shape());
    Samples s;
    s.frames = a.shape(0);
    s.channels = a.ndim() == 2 ? static_cast<int>(a.shape(1)) : 1;
    s.interleaved.resize(static_cast<size_t>(s.frames * s.channels));
    // A C-ordered float32 copy: numpy converts any strides and float64 (as libsndfile reads a double file).
    const auto c = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(a);
    if (!s.interleaved.empty()) std::memcpy(s.interleaved.data(), c.data(), s.interleaved.size() * sizeof(float));
    return s;
}

// ---- Audio held in memory, as the host's render and analyze read it -----------------

class ArraySource : public AudioSource {
public:
    ArraySource(const Samples& s, int rate) : samples_(s)
    {
        format_ = {rate, s.channels, s.frames, SF_FORMAT_WAV | SF_FORMAT_FLOAT};
    }
    const AudioFormat& format() const override { return format_; }
    std::string name() const override { return "array"; }
    Result<int64_t> read(float* interleaved, int64_t frames) override
    {
        const int64_t n = std::min(frames, samples_.frames - at_);
        std::copy_n(samples_.interleaved.data() + at_ * samples_.channels, n * samples_.channels, interleaved);
        at_ += n;
        return n;
    }

private:
    const Samples& samples_;
    AudioFormat format_;
    int64_t at_ = 0;
};

std::string jsonText(const Json& j)
{
    return writeJson(j);
}

// What a render takes besides its programme: checked before any audio runs.
struct RenderChoices {
    std::optional<std::string> preset;
    std::vector<std::pair<std::string, std::string>> settings;
    std::optional<DeliveryTarget> target;
    RenderSetup setup;

    Status configure(Engine& engine) const
    {
        if (preset) {
            Status s = applyPreset(engine, *preset);
            if (!s.ok()) return s;
        }
        for (const auto& [name, value] : settings) {
            Status s = applySetting(engine, name, value);
            if (!s.ok()) return s;
        }
        return Status::success();
    }
};

RenderChoices choicesOf(const py::object& preset, const py::object& controls, const py::object& target,
                        const py::object& truePeak, const py::object& maxGain)
{
    RenderChoices c;
    if (!preset.is_none()) c.preset = py::str(preset).cast<std::string>();
    c.settings = settingsOf(controls);
    if (target.is_none()) {
        if (!truePeak.is_none()) throw py::value_error("--true-peak sets the ceiling of a --target; give one");
        if (!maxGain.is_none()) throw py::value_error("max_gain holds the gain of a delivery to a target; give one");
    } else {
        const std::string t = py::isinstance<py::str>(target) ? target.cast<std::string>() : valueText(target);
        auto parsed = parseTarget(t, truePeak.is_none() ? "" : valueText(truePeak));
        if (!parsed.ok()) raise(parsed.status());
        c.target = parsed.value();
        if (!maxGain.is_none()) c.target->maxGainDb = maxGain.cast<double>();
    }
    // Every setting checked on a scratch engine before anything runs.
    Engine scratch(48000);
    Status s = c.configure(scratch);
    if (!s.ok()) raise(s);
    return c;
}

// ---- The processor --------------------------------------------------------------

class Processor {
public:
    Processor(const py::handle& rate, const py::object& preset, const py::kwargs& controls)
        : engine_(rateOf(rate))
    {
        if (!preset.is_none()) {
            Status s = applyPreset(engine_, py::str(preset).cast<std::string>());
            if (!s.ok()) raise(s);
        }
        set(controls);
        meters_ = engine_.meters();
    }

    void set(const py::handle& controls)
    {
        const auto settings = settingsOf(controls);
        const auto lock = hold();
        // All checked before any is set.
        Engine scratch(engine_.rate());
        for (const auto& [name, value] : settings) {
            Status s = applySetting(scratch, name, value);
            if (!s.ok()) raise(s);
        }
        for (const auto& [name, value] : settings) applySetting(engine_, name, value);
    }

    py::array_t<float> process(const py::handle& x)
    {
        const Samples in = samplesOf(x, 2, "process()");
        const auto frames = static_cast<size_t>(in.frames);
        py::array_t<float> out({static_cast<py::ssize_t>(frames), py::ssize_t{2}});
        float* o = out.mutable_data();
        {
            py::gil_scoped_release unlocked;
            std::lock_guard lock(mutex_);
            mono_.resize(frames);
            silent_.assign(frames, 0.0f);
            left_.resize(frames);
            right_.resize(frames);
            // A stereo feed as render mixes it: (L+R)/2.
            for (size_t i = 0; i < frames; ++i)
                mono_[i] = in.channels == 1 ? in.interleaved[i]
                                            : (in.interleaved[2 * i] + in.interleaved[2 * i + 1]) * 0.5f;
            if (frames > 0) {
                float* ins[2] = {mono_.data(), silent_.data()};
                float* outs[2] = {left_.data(), right_.data()};
                engine_.process(ins, outs, static_cast<int>(frames));
                meters_ = engine_.meters();
            }
            for (size_t i = 0; i < frames; ++i) {
                o[2 * i] = left_[i];
                o[2 * i + 1] = right_[i];
            }
        }
        return out;
    }

    py::dict meters()
    {
        const auto lock = hold();
        py::dict d;
        for (size_t i = 0; i < kMeterDefinitions.size(); ++i)
            d[py::str(std::string(kMeterDefinitions[i].symbolText()))] = meters_.values[i];
        return d;
    }

    py::dict values()
    {
        const auto lock = hold();
        py::dict d;
        for (int i = 0; i < kNumControls; ++i) {
            const float v = engine_.control(i);
            if (kControlSpecs[i].toggle) d[py::str(kControlSpecs[i].symbol)] = v > 0.5f;
            else d[py::str(kControlSpecs[i].symbol)] = v;
        }
        return d;
    }

    void reset()
    {
        const auto lock = hold();
        engine_.clear();
    }

    int latency() const { return engine_.latency(); }
    int rate() const { return engine_.rate(); }

private:
    // The processor to this thread alone; other Python threads run while it waits for a process() call.
    std::unique_lock<std::mutex> hold()
    {
        std::unique_lock lock(mutex_, std::defer_lock);
        py::gil_scoped_release unlocked;
        lock.lock();
        return lock;
    }

    std::mutex mutex_;
    Engine engine_;
    std::vector<float> mono_, silent_, left_, right_;
    MeterSnapshot meters_{};
};

// ---- Module functions -----------------------------------------------------------

py::list controls()
{
    py::list out;
    for (int i = 0; i < kNumControls; ++i) {
        const ControlSpec& c = kControlSpecs[i];
        py::dict d;
        d["label"] = c.label;
        d["symbol"] = kControlSpecs[i].symbol;
        d["unit"] = controlUnitText(i);
        d["min"] = c.min;
        d["max"] = c.max;
        d["default"] = c.init;
        d["step"] = c.toggle ? 1.0f : c.step;
        d["toggle"] = c.toggle;
        d["group"] = kControlGroupNames[static_cast<int>(c.group)];
        out.append(d);
    }
    return out;
}

py::list meterTable()
{
    static constexpr const char* kUnits[] = {"dB", "dBFS", "Hz", ""};  // MeterUnit order
    py::list out;
    for (const MeterDefinition& m : kMeterDefinitions) {
        py::dict d;
        d["symbol"] = std::string(m.symbolText());
        d["name"] = std::string(m.nameText());
        d["unit"] = kUnits[static_cast<int>(m.unit)];
        d["min"] = m.minimum;
        d["max"] = m.maximum;
        d["band"] = m.band;
        out.append(d);
    }
    return out;
}

py::list targets()
{
    py::list out;
    for (const auto& [t, what] : namedTargets()) {
        py::dict d;
        d["name"] = t.name;
        d["integrated_lufs"] = t.lufs;
        d["true_peak_dbtp"] = t.ceilingDbtp;
        d["tolerance_lu"] = t.toleranceLu;
        d["for"] = what;
        out.append(d);
    }
    return out;
}

py::tuple renderArray(const py::handle& x, const py::handle& rate, const py::object& preset, const py::object& controls,
                      const py::object& target, const py::object& truePeak, const py::object& maxGain)
{
    const Samples in = samplesOf(x, 2, "render()");
    const int r = rateOf(rate);
    RenderChoices c = choicesOf(preset, controls, target, truePeak, maxGain);
    std::vector<float> audio(static_cast<size_t>(in.frames) * 2);
    c.setup.capture = [&audio](int64_t at, const float* interleaved, int64_t frames) {
        std::copy_n(interleaved, frames * 2, audio.begin() + at * 2);
    };
    Result<RenderOutcome> done = Status::fail(kExitInternal, "no render");
    {
        py::gil_scoped_release unlocked;
        auto open = [&]() { return Result<std::unique_ptr<AudioSource>>(std::make_unique<ArraySource>(in, r)); };
        done = renderWithEngine(open, [&c](Engine& e) { return c.configure(e); }, "", c.setup, c.target, {});
    }
    if (!done.ok()) raise(done.status());
    py::array_t<float> out({static_cast<py::ssize_t>(in.frames), py::ssize_t{2}});
    std::copy(audio.begin(), audio.end(), out.mutable_data());
    return py::make_tuple(out, jsonText(reportJson(done->report)));
}

std::string renderFile(const std::string& input, const std::string& output, const py::object& preset,
                       const py::object& controls, const py::object& target, const py::object& truePeak,
                       const py::object& maxGain, const std::string& sampleFormat, bool rawLatency, bool tags)
{
    RenderChoices c = choicesOf(preset, controls, target, truePeak, maxGain);
    if (!sampleFormat.empty()) {
        auto f = parseSampleFormat(sampleFormat);
        if (!f.ok()) raise(f.status());
        c.setup.format = f.value();
    }
    c.setup.rawLatency = rawLatency;
    c.setup.tags = tags;
    if (sameFile(input, output)) raise(Status::fail(kExitOutput, output + " is the input itself; plumbra never writes over its input"));
    Result<RenderOutcome> done = Status::fail(kExitInternal, "no render");
    {
        py::gil_scoped_release unlocked;
        auto open = [&input]() { return openAudioFile(input); };
        done = renderWithEngine(open, [&c](Engine& e) { return c.configure(e); }, output, c.setup, c.target, {});
    }
    if (!done.ok()) raise(done.status());
    return jsonText(reportJson(done->report));
}

std::string analyzeArray(const py::handle& x, const py::handle& rate)
{
    const Samples in = samplesOf(x, 64, "analyze()");
    ArraySource source(in, rateOf(rate));
    Json j;
    {
        py::gil_scoped_release unlocked;
        j = analyzeJson(source, "array", std::nullopt);
    }
    return jsonText(j);
}

std::string analyzeFile(const std::string& path, const py::object& target, const py::object& truePeak)
{
    std::optional<DeliveryTarget> t;
    if (!target.is_none()) {
        auto parsed = parseTarget(py::str(target).cast<std::string>(), truePeak.is_none() ? "" : valueText(truePeak));
        if (!parsed.ok()) raise(parsed.status());
        t = parsed.value();
    }
    auto opened = openAudioFile(path);
    if (!opened.ok()) raise(opened.status());
    Json j;
    {
        py::gil_scoped_release unlocked;
        j = analyzeJson(*opened.value(), path, t);
    }
    return jsonText(j);
}

// For the benchmark: seconds a fresh engine takes over mono `x` in blocks of `block`
// frames, all in C++ (what process() from Python is compared with).
double engineBlocks(const py::handle& x, const py::handle& rate, int block)
{
    const Samples in = samplesOf(x, 1, "_engine_blocks()");
    Engine engine(rateOf(rate));
    std::vector<float> silent(static_cast<size_t>(block)), left(silent), right(silent);
    py::gil_scoped_release unlocked;
    const auto start = std::chrono::steady_clock::now();
    for (int64_t at = 0; at + block <= in.frames; at += block) {
        float* ins[2] = {const_cast<float*>(in.interleaved.data() + at), silent.data()};
        float* outs[2] = {left.data(), right.data()};
        engine.process(ins, outs, block);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

py::list gatherFiles(const std::vector<std::string>& inputs, const std::string& exclude)
{
    py::list out;
    for (const BatchInput& in : gatherInputs(inputs, exclude, true))
        out.append(py::make_tuple(in.path, in.relative, in.problem));
    return out;
}

}  // namespace

PYBIND11_MODULE(_plumbra, m)
{
    m.doc() = "plumbra's processor, render, delivery and analyze, in-process (the extension behind plumbra).";
    m.attr("__version__") = PLUMBRA_VERSION;
    m.def("controls", &controls,
          "The processor's controls in table order: dicts of label, symbol, unit, min, max,\n"
          "default, step, toggle and group.");
    m.def("meter_table", &meterTable,
          "The meters in table order: dicts of symbol, name, unit, min, max (the range\n"
          "displays scale to) and band (1 to 12, 0 for the whole chain).");
    m.def("targets", &targets,
          "The named delivery targets: dicts of name, integrated_lufs, true_peak_dbtp,\n"
          "tolerance_lu and what each is for.");

    py::class_<Processor>(m, "Processor", R"(The processor at a sample rate, run block by block, as the plug-in runs.

Processor(sample_rate, preset=None, **controls): every control at its default,
then the preset file's settings, then the keyword arguments (by symbol, e.g.
lowpass_filter=12000).)")
        .def(py::init<const py::handle&, const py::object&, const py::kwargs&>(), py::arg("sample_rate"),
             py::arg("preset") = py::none())
        .def("set", &Processor::set, py::arg("controls"),
             "Sets controls from a dict {label or symbol: value}, in the control's unit;\n"
             "switches take True/False or \"on\"/\"off\". All are checked before any is set;\n"
             "a change applies from the next process() call.")
        .def("process", &Processor::process, py::arg("x"),
             R"(Runs a block: x is float32 or float64, shaped (n,), (n, 1) or (n, 2); a stereo
block is fed as its mix (L+R)/2. Returns float32 (n, 2). The stream continues
across calls and the output trails the input by `latency` samples, as the
plug-in's does. The GIL is released while it runs.)")
        .def_property_readonly("latency", &Processor::latency, "Samples by which the output trails the input.")
        .def_property_readonly("sample_rate", &Processor::rate, "The rate the processor runs at, in Hz.")
        .def_property_readonly("meters", &Processor::meters,
                               "The meters of the last process() call, a dict by meter symbol (meter_table()).")
        .def_property_readonly("values", &Processor::values, "Every control's current value, a dict by symbol.")
        .def("reset", &Processor::reset, "Clears the signal state as at the start; the controls stay.");

    m.def("_render", &renderArray, py::arg("x"), py::arg("sample_rate"), py::arg("preset"), py::arg("controls"),
          py::arg("target"), py::arg("true_peak"), py::arg("max_gain"));
    m.def("_render_file", &renderFile, py::arg("in_path"), py::arg("out_path"), py::arg("preset"), py::arg("controls"),
          py::arg("target"), py::arg("true_peak"), py::arg("max_gain"), py::arg("sample_format"),
          py::arg("raw_latency"), py::arg("tags"));
    m.def("_analyze", &analyzeArray, py::arg("x"), py::arg("sample_rate"));
    m.def("_analyze_file", &analyzeFile, py::arg("path"), py::arg("target"), py::arg("true_peak"));
    m.def("_engine_blocks", &engineBlocks, py::arg("x"), py::arg("sample_rate"), py::arg("block"));
    m.def("_gather", &gatherFiles, py::arg("inputs"), py::arg("exclude"));
}
