// Streaming a programme through the plug-in in blocks. Memory stays bounded
// for any length: the latency compensation only drops the first frames of the
// output and, at the end, flushes the plug-in with as many zeros.
#include "host/render/render.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "dsp/delivery/true_peak_limiter.h"
#include "host/render/demo.h"
#include "host/audio/file_io.h"
#include "host/delivery/loudness.h"
#include "host/report/plot.h"
#include "host/common/progress.h"
#include "host/common/text.h"

namespace plumbra::host {

int64_t countNonFinite(const float* samples, int64_t count)
{
    int64_t n = 0;
    for (int64_t i = 0; i < count; ++i) n += std::isfinite(samples[i]) ? 0 : 1;
    return n;
}

Result<std::vector<Assignment>> collectAssignments(const ParamTable& table, const std::vector<std::string>& presets,
                                                   const std::vector<std::string>& sets)
{
    auto settings = collectSettings(presets, sets);
    if (!settings.ok()) return settings.status();
    std::vector<Assignment> assignments;
    for (const ControlSetting& s : settings.value()) {
        auto a = table.assignment(s);
        if (!a.ok()) return a.status();
        assignments.push_back(a.value());
    }
    return assignments;
}

Result<PreparedPlugin> preparePlugin(const RenderOptions& o, RenderSetup& setup)
{
    auto loaded = Plugin::load(o.plugin);
    if (!loaded.ok()) return loaded.status();
    auto discovered = ParamTable::discover(*loaded.value());
    if (!discovered.ok()) return discovered.status();
    auto assignments = collectAssignments(discovered.value(), o.presets, o.sets);
    if (!assignments.ok()) return assignments.status();
    setup.assignments = assignments.value();
    return PreparedPlugin{std::move(loaded.value()), std::move(discovered.value())};
}

namespace {

// Sorts the tags into those the finished file holds, as it reads back, and those its container dropped.
void noteTags(RenderReport& r, const Tags& tags, const std::string& output)
{
    if (tags.empty()) return;
    const Tags kept = output == "-" ? Tags{} : readTags(output);
    for (const auto& t : tags) {
        bool held = false;
        for (const auto& k : kept) held = held || (k.type == t.type && k.value == t.value);
        (held ? r.tags : r.tagsDropped).push_back({t.name, t.value});
    }
}

// The report's fields that any processor fills in alike.
template <class P>
RenderReport startReport(const P& proc, const std::string& path, const AudioSource& source, const RenderSetup& setup)
{
    RenderReport r;
    r.input = source.name();
    r.plugin = path;
    r.inputFormat = describeFormat(source.format().sfFormat);
    r.rate = source.format().rate;
    r.inputChannels = source.format().channels;
    r.outputChannels = proc.numOutputs();
    r.latency = std::max(0, proc.latency());
    r.compensated = !setup.rawLatency;
    r.blockSize = setup.blockSize;
    return r;
}

// The plug-in's input: the programme itself, or the mean of its two channels.
void mixToMono(const float* interleaved, int channels, int frames, float* mono)
{
    for (int i = 0; i < frames; ++i)
        mono[i] = channels == 1 ? interleaved[i] : (interleaved[2 * i] + interleaved[2 * i + 1]) * 0.5f;
}

}  // namespace

namespace {

// Streams `source` through `proc` (set up and running) in blocks of setup.blockSize;
// `afterInput` hears each block of input once it is processed, with the input frames so far.
template <class P>
Result<RenderOutcome> streamThrough(P& proc, RenderReport start, AudioSource& source, const std::string& output,
                                    const RenderSetup& setup, const std::function<void(int64_t)>& progress,
                                    const std::function<void(int64_t)>& afterInput)
{
    const auto begun = std::chrono::steady_clock::now();
    const AudioFormat in = source.format();
    RenderOutcome o;
    RenderReport& r = o.report;
    r = std::move(start);
    // No output: a pass that only measures.
    std::unique_ptr<AudioSink> sink;
    const Tags tags = setup.tags && !output.empty() ? source.tags() : Tags{};
    if (!output.empty()) {
        auto created = AudioSink::create(output, in.rate, r.outputChannels, setup.format, in.sfFormat);
        if (!created.ok()) return created.status();
        sink = std::move(created.value());
        sink->setTags(tags);
    }
    std::unique_ptr<TruePeakLimiter> limiter;
    if (setup.delivery) {
        if (r.outputChannels > TruePeakLimiter::kMaxChannels)
            return Status::fail(kExitPlugin, "the plug-in has " + std::to_string(r.outputChannels) +
                                                 " outputs; delivery to a target takes one or two");
        limiter = std::make_unique<TruePeakLimiter>();
        limiter->prepare(static_cast<float>(in.rate), r.outputChannels, setup.delivery->ceiling);
        r.latency += limiter->latency();
    }

    const size_t block = static_cast<size_t>(setup.blockSize), outChannels = static_cast<size_t>(r.outputChannels);
    std::vector<float> interleavedIn(block * static_cast<size_t>(in.channels)), interleavedOut(block * outChannels);
    std::vector<std::vector<float>> ins(static_cast<size_t>(proc.numInputs()), std::vector<float>(block, 0.0f));
    std::vector<std::vector<float>> outs(outChannels, std::vector<float>(block, 0.0f));
    std::vector<float*> inPtr, outPtr;
    for (auto& v : ins) inPtr.push_back(v.data());
    for (auto& v : outs) outPtr.push_back(v.data());
    LoudnessMeter inMeter(in.channels, in.rate);
    auto outMeter = std::make_shared<LoudnessMeter>(r.outputChannels, in.rate);
    int64_t processed = 0;
    const int64_t skip = setup.rawLatency ? 0 : r.latency;

    // Runs one block (already in ins[0]) and writes what is due of its output.
    auto runBlock = [&](int n) -> Status {
        proc.process(inPtr.data(), outPtr.data(), n);
        if (limiter) {
            for (auto& channel : outs)
                for (int i = 0; i < n; ++i) channel[static_cast<size_t>(i)] *= setup.delivery->gain;
            limiter->process(outPtr.data(), n);
        }
        const size_t first = static_cast<size_t>(std::clamp<int64_t>(skip - processed, 0, n));
        processed += n;
        const int64_t count = n - static_cast<int64_t>(first);
        if (count <= 0) return Status::success();
        for (size_t i = 0; i < static_cast<size_t>(count); ++i)
            for (size_t c = 0; c < outChannels; ++c) interleavedOut[i * outChannels + c] = outs[c][first + i];
        r.nonFinite += countNonFinite(interleavedOut.data(), count * r.outputChannels);
        outMeter->add(interleavedOut.data(), count);
        if (setup.capture) setup.capture(r.outputFrames, interleavedOut.data(), count);
        r.outputFrames += count;
        return sink ? sink->write(interleavedOut.data(), count) : Status::success();
    };

    for (;;) {
        auto got = source.read(interleavedIn.data(), setup.blockSize);
        if (!got.ok()) return got.status();
        const int n = static_cast<int>(got.value());
        if (n == 0) break;
        inMeter.add(interleavedIn.data(), n);
        mixToMono(interleavedIn.data(), in.channels, n, ins[0].data());
        Status s = runBlock(n);
        if (!s.ok()) return s;
        r.inputFrames += n;
        if (afterInput) afterInput(r.inputFrames);
        if (progress) progress(r.inputFrames);
    }
    // Flush: zeros until the output has the input's length.
    std::fill(ins[0].begin(), ins[0].end(), 0.0f);
    while (r.outputFrames < r.inputFrames && !setup.rawLatency) {
        Status s = runBlock(static_cast<int>(std::min<int64_t>(setup.blockSize, r.inputFrames + skip - processed)));
        if (!s.ok()) return s;
    }
    if (sink) {
        Status done = sink->finish();
        if (!done.ok()) return done;
        r.output = sink->name();
        r.outputFormat = describeFormat(sink->sfFormat());
        r.outputContainer = describeContainer(sink->sfFormat());
    }
    if (limiter) o.limiterSmallestGain = limiter->smallestGain();
    inMeter.finish();
    outMeter->finish();
    r.in = inMeter.summary();
    r.out = outMeter->summary();
    r.elapsedSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    r.speed = r.elapsedSeconds > 0 ? static_cast<double>(r.inputFrames) / in.rate / r.elapsedSeconds : 0.0;
    if (sink) noteTags(r, tags, output);
    o.inShortTerm = inMeter.shortTerm();
    o.outShortTerm = outMeter->shortTerm();
    outMeter->release();
    o.outMeter = std::move(outMeter);
    return o;
}

}  // namespace

Result<RenderOutcome> renderStream(Plugin& plugin, const ParamTable& table, AudioSource& source,
                                   const std::string& output, const RenderSetup& setup,
                                   const std::function<void(int64_t)>& progress)
{
    // Rate and block size first, as the plug-in may reset its parameters on a rate change.
    plugin.setSampleRate(static_cast<float>(source.format().rate));
    plugin.setBlockSize(setup.blockSize);
    ParamTable::apply(plugin, setup.assignments);
    plugin.resume();
    auto o = streamThrough(plugin, startReport(plugin, plugin.path(), source, setup), source, output, setup, progress, {});
    plugin.suspend();
    if (!o.ok()) return o;
    for (const auto& p : table.params()) o->report.parameters.emplace_back(p.name, table.currentText(plugin, p.index));
    return o;
}

Result<RenderOutcome> renderDelivered(const std::function<Result<std::unique_ptr<AudioSource>>()>& open,
                                      const std::function<Result<std::unique_ptr<Plugin>>()>& load,
                                      const ParamTable& table, const std::string& output, const RenderSetup& setup,
                                      const DeliveryTarget& target, const std::function<void(int64_t)>& progress)
{
    auto pass = [&](const std::string& out, const RenderSetup& s,
                    const std::function<void(int64_t)>& heard) -> Result<RenderOutcome> {
        auto source = open();
        if (!source.ok()) return source.status();
        auto plugin = load();
        if (!plugin.ok()) return plugin.status();
        return renderStream(*plugin.value(), table, *source.value(), out, s, heard);
    };
    return renderOntoTarget(pass, output, setup, target, progress);
}

Result<RenderOutcome> renderOntoTarget(const RenderPass& writing, const std::string& output, const RenderSetup& setup,
                                       const DeliveryTarget& target, const std::function<void(int64_t)>& progress)
{
    // Passes that only measure hear no capture.
    auto pass = [&](const std::string& out, const RenderSetup& s, const std::function<void(int64_t)>& heard) {
        RenderSetup measuring = s;
        measuring.capture = nullptr;
        return writing(out, measuring, heard);
    };
    auto passWriting = [&](const RenderSetup& s, const std::function<void(int64_t)>& heard) {
        return writing(output, s, heard);
    };
    // The progress line shows the first pass as the first half and the last as the second.
    int64_t firstFrames = 0;
    auto first = pass("", setup, [&](int64_t f) {
        firstFrames = f;
        if (progress) progress(f / 2);
    });
    if (!first.ok()) return first;
    DeliveryReport d;
    d.target = target;
    d.passes = 1;
    d.measuredLufs = first->report.out.integratedLufs;
    const bool measurable = std::isfinite(d.measuredLufs);
    // A silent programme has no loudness to correct: it is delivered as it is, and fails the check.
    // A gain above the cap is held at the cap: near-silence is not made loud.
    double gainDb = 0.0;
    auto linear = [](double db) { return static_cast<float>(std::pow(10.0, db / 20.0)); };
    auto aim = [&](double wantedDb) {
        d.gainNeededDb = wantedDb;
        d.gainCapped = wantedDb > target.maxGainDb;
        gainDb = std::min(wantedDb, target.maxGainDb);
    };
    aim(measurable ? target.lufs - d.measuredLufs : 0.0);
    RenderSetup s = setup;
    s.delivery = RenderSetup::Delivery{linear(gainDb), linear(target.ceilingDbtp)};

    // Where the gain takes the peaks near the ceiling, the limiter lowers the loudness a
    // little: passes that only measure find by how much, and the gain makes up for it.
    constexpr double kLimiterReach = 0.5;  // dB below the ceiling where the limiter may start to act
    constexpr double kClose = 0.02;        // LU: near enough to the target not to try again
    if (measurable && !d.gainCapped && first->report.out.truePeakDbtp + gainDb > target.ceilingDbtp - kLimiterReach) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            auto trial = pass("", s, {});
            if (!trial.ok()) return trial;
            ++d.passes;
            const double miss = target.lufs - trial->report.out.integratedLufs;
            if (!std::isfinite(miss) || std::fabs(miss) < kClose || trial->limiterSmallestGain == 1.0f) break;
            aim(gainDb + miss);
            s.delivery->gain = linear(gainDb);
            if (d.gainCapped) break;
        }
    }
    auto last = passWriting(s, [&](int64_t f) {
        if (progress) progress(firstFrames / 2 + f / 2);
    });
    if (!last.ok()) return last;
    ++d.passes;
    // The gate at -70 LUFS lets a gain move quiet passages in or out of the measurement, so a
    // large gain can land a little off: a file (not a stream) is then rendered once more.
    constexpr double kRewrite = 0.05;
    if (const double miss = target.lufs - last->report.out.integratedLufs;
        measurable && !d.gainCapped && output != "-" && std::isfinite(miss) && std::fabs(miss) > kRewrite) {
        aim(gainDb + miss);
        s.delivery->gain = linear(gainDb);
        auto again = passWriting(s, {});
        if (!again.ok()) return again;
        ++d.passes;
        last = std::move(again);
    }
    d.gainDb = gainDb;
    d.limiterReductionDb = last->limiterSmallestGain >= 1.0f ? 0.0
                           : last->limiterSmallestGain > 0.0f ? -20.0 * std::log10(last->limiterSmallestGain)
                                                              : HUGE_VAL;
    d.compliance = checkCompliance(target, last->report.out);
    if (d.gainCapped) {
        // Held at the cap, the programme misses its target even where it lands within the tolerance.
        d.compliance.pass = false;
        d.compliance.reason = printed("the programme needs %+.2f dB of gain, more than --max-gain %g dB: rendered at %+g dB%s%s",
                                      d.gainNeededDb, target.maxGainDb, target.maxGainDb,
                                      d.compliance.reason.empty() ? "" : "; ", d.compliance.reason.c_str());
    }
    last->report.delivery = d;
    return last;
}

Result<RenderOutcome> renderEngineStream(Engine& engine, AudioSource& source, const std::string& output,
                                         const RenderSetup& given, const std::function<void(int64_t)>& progress)
{
    RenderSetup setup = given;
    setup.blockSize = MeterLog::lineFrames(engine.rate());
    MeterLog log(engine.rate());
    auto o = streamThrough(engine, startReport(engine, "plumbra's own processor (linked in)", source, setup), source,
                           output, setup, progress, [&](int64_t frames) { log.add(frames, engine.meters()); });
    if (!o.ok()) return o;
    o->report.parameters = engine.controlTexts();
    o->report.bands = log.summary();
    o->meters = std::move(log);
    return o;
}

Result<RenderOutcome> renderWithEngine(const std::function<Result<std::unique_ptr<AudioSource>>()>& open,
                                       const std::function<Status(Engine&)>& configure, const std::string& output,
                                       const RenderSetup& setup, const std::optional<DeliveryTarget>& target,
                                       const std::function<void(int64_t)>& progress)
{
    auto pass = [&](const std::string& out, const RenderSetup& s,
                    const std::function<void(int64_t)>& heard) -> Result<RenderOutcome> {
        auto opened = open();
        if (!opened.ok()) return opened.status();
        AudioSource& source = *opened.value();
        const AudioFormat in = source.format();
        if (in.channels < 1 || in.channels > 2)
            return Status::fail(kExitInput, source.name() + " has " + std::to_string(in.channels) +
                                                " channels; plumbra takes mono or stereo");
        Engine engine(in.rate);
        if (configure) {
            Status c = configure(engine);
            if (!c.ok()) return c;
        }
        auto o = streamThrough(engine, startReport(engine, "plumbra's own processor (linked in)", source, s), source,
                               out, s, heard, {});
        if (o.ok()) o->report.parameters = engine.controlTexts();
        return o;
    };
    if (target) return renderOntoTarget(pass, output, setup, *target, progress);
    return pass(output, setup, progress);
}

Status runRender(const RenderOptions& o)
{
    // The input first, so that a missing file is reported before anything else happens.
    auto opened = o.demo ? Result<std::unique_ptr<AudioSource>>(makeDemoSource(o.demoSeconds)) : openAudioFile(o.input);
    if (!opened.ok()) return opened.status();
    AudioSource& source = *opened.value();
    const AudioFormat in = source.format();
    if (in.channels > 2)
        return Status::fail(kExitInput, source.name() + " has " + std::to_string(in.channels) +
                                            " channels; plumbra takes mono or stereo");

    // With meters the processor linked into plumbra runs; otherwise the plug-in library.
    RenderSetup setup = o.setup;
    std::unique_ptr<Engine> engine;
    std::optional<PreparedPlugin> prepared;
    if (!o.meters.empty()) {
        auto settings = collectSettings(o.presets, o.sets);
        if (!settings.ok()) return settings.status();
        engine = std::make_unique<Engine>(in.rate);
        for (const ControlSetting& c : settings.value()) engine->setControl(c.index, c.value);
    } else {
        auto p = preparePlugin(o, setup);
        if (!p.ok()) return p.status();
        prepared = std::move(p.value());
    }

    // Report, plot and meter files are created now, so that a bad path stops the job before it runs.
    ReportOutput report;
    TempFile plotFile, metersFile;
    Status s = report.open(o.reportJson);
    if (s.ok() && !o.plot.empty()) s = plotFile.create(o.plot);
    if (s.ok() && !o.meters.empty()) s = metersFile.create(o.meters);
    if (!s.ok()) return s;

    // Standard output carries the audio or the JSON report; the text report goes elsewhere.
    std::FILE* text = o.output == "-" || report.toStdout() ? stderr : stdout;
    if (in.channels == 2 && !o.quiet)
        std::fprintf(stderr, "plumbra: %s is stereo: feeding the plug-in its mono mix (L+R)/2\n", source.name().c_str());

    Progress progress(!o.quiet && isTerminal(2), in.frames < 0 ? -1 : audioUs(in.frames, in.rate));
    auto count = progress.counter(in.rate);
    auto onProgress = [&](int64_t frames) {
        count(frames);
        progress.draw();
    };
    Result<RenderOutcome> rendered = Status::fail(kExitInternal, "no render");
    if (engine) {
        rendered = renderEngineStream(*engine, source, o.output, setup, onProgress);
    } else if (o.target) {
        // Each pass opens the programme afresh; the first instance, loaded to check the
        // parameters, is not used for audio.
        prepared->plugin.reset();
        auto open = [&o]() {
            return o.demo ? Result<std::unique_ptr<AudioSource>>(makeDemoSource(o.demoSeconds)) : openAudioFile(o.input);
        };
        auto load = [&o]() { return Plugin::load(o.plugin); };
        rendered = renderDelivered(open, load, prepared->table, o.output, setup, *o.target, onProgress);
    } else {
        rendered = renderStream(*prepared->plugin, prepared->table, source, o.output, setup, onProgress);
    }
    progress.clear();
    if (!rendered.ok()) return rendered.status();
    const RenderReport& r = rendered.value().report;

    if (!o.quiet) std::fputs(reportText(r).c_str(), text);
    s = report.write(writeJson(reportJson(r)));
    if (!s.ok()) return s;
    if (engine) {
        s = writeAndCommit(metersFile, rendered->meters->jsonLines());
        if (!s.ok()) return s;
    }
    if (!o.plot.empty()) {
        std::vector<PlotSeries> series = {
            {"input", rendered.value().inShortTerm, r.in.integratedLufs, "#1f6fb4"},
            {"output", rendered.value().outShortTerm, r.out.integratedLufs, "#d9480f"},
        };
        const std::string name = engine ? engine->name() : prepared->plugin->effectName();
        const std::string title = "Loudness: " + r.input + " through " + name;
        const std::string svg = engine ? loudnessPlotSvg(title, series, LoudnessMeter::stepSeconds, &*rendered->meters)
                                       : loudnessPlotSvg(title, series, LoudnessMeter::stepSeconds);
        s = writeAndCommit(plotFile, svg);
        if (!s.ok()) return s;
    }
    // A broken render is never passed off as a good one, but its file stays for inspection.
    if (r.nonFinite > 0)
        return Status::fail(kExitNonFinite, "the plug-in's output holds " + std::to_string(r.nonFinite) +
                                                " NaN or infinite samples; " + r.output + " is written for inspection");
    if (r.delivery && !r.delivery->compliance.pass)
        return Status::fail(kExitTarget, r.output + " misses " + r.delivery->target.name + ": " +
                                             r.delivery->compliance.reason);
    return Status::success();
}

}  // namespace plumbra::host
