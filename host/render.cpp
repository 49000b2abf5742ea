// Streaming a programme through the plug-in in blocks. Memory stays bounded
// for any length: the latency compensation only drops the first frames of the
// output and, at the end, flushes the plug-in with as many zeros.
#include "host/render.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "host/demo.h"
#include "host/file_io.h"
#include "host/loudness.h"
#include "host/params.h"
#include "host/plot.h"
#include "host/plugin_host.h"
#include "host/progress.h"
#include "host/report.h"

namespace plumbra::host {

int64_t countNonFinite(const float* samples, int64_t count)
{
    int64_t n = 0;
    for (int64_t i = 0; i < count; ++i) n += std::isfinite(samples[i]) ? 0 : 1;
    return n;
}

Status runRender(const RenderOptions& o)
{
    // The input first, so that a missing file is reported before anything else happens.
    std::unique_ptr<AudioSource> source;
    if (o.demo) {
        source = makeDemoSource(o.demoSeconds);
    } else {
        auto opened = openAudioFile(o.input);
        if (!opened.ok()) return opened.status();
        source = std::move(opened.value());
    }
    const AudioFormat in = source->format();
    if (in.channels > 2)
        return Status::fail(kExitInput, source->name() + " has " + std::to_string(in.channels) +
                                            " channels; plumbra takes mono or stereo");

    auto loaded = Plugin::load(o.plugin);
    if (!loaded.ok()) return loaded.status();
    Plugin& plugin = *loaded.value();
    auto discovered = ParamTable::discover(plugin);
    if (!discovered.ok()) return discovered.status();
    const ParamTable& table = discovered.value();

    // Every assignment is checked before anything is set or written.
    std::vector<Assignment> assignments;
    if (!o.preset.empty()) {
        auto preset = table.readPreset(o.preset);
        if (!preset.ok()) return preset.status();
        assignments = preset.value();
    }
    for (const auto& s : o.sets) {
        auto a = table.parse(s);
        if (!a.ok()) return Status::fail(a.status().code, "--set " + s + ": " + a.status().reason);
        assignments.push_back(a.value());
    }

    // Rate and block size first: the plug-in may reset its parameters on a rate change.
    plugin.setSampleRate(static_cast<float>(in.rate));
    plugin.setBlockSize(o.blockSize);
    ParamTable::apply(plugin, assignments);

    // Report and plot files are created now, so that a bad path stops the job before it runs.
    TempFile reportFile, plotFile;
    if (!o.reportJson.empty()) {
        Status s = reportFile.create(o.reportJson);
        if (!s.ok()) return s;
    }
    if (!o.plot.empty()) {
        Status s = plotFile.create(o.plot);
        if (!s.ok()) return s;
    }

    const int outChannels = plugin.numOutputs();
    auto created = AudioSink::create(o.output, in.rate, outChannels, o.format, in.sfFormat);
    if (!created.ok()) return created.status();
    AudioSink& sink = *created.value();

    const bool toStdout = o.output == "-";
    std::FILE* text = toStdout ? stderr : stdout;
    if (in.channels == 2 && !o.quiet)
        std::fprintf(stderr, "plumbra: %s is stereo: feeding the plug-in its mono mix (L+R)/2\n", source->name().c_str());

    const int block = o.blockSize;
    const int latency = std::max(0, plugin.latency());
    std::vector<float> interleavedIn(static_cast<size_t>(block) * static_cast<size_t>(in.channels));
    std::vector<std::vector<float>> ins(static_cast<size_t>(plugin.numInputs()), std::vector<float>(static_cast<size_t>(block), 0.0f));
    std::vector<std::vector<float>> outs(static_cast<size_t>(outChannels), std::vector<float>(static_cast<size_t>(block), 0.0f));
    std::vector<float*> inPtr, outPtr;
    for (auto& v : ins) inPtr.push_back(v.data());
    for (auto& v : outs) outPtr.push_back(v.data());
    std::vector<float> interleavedOut(static_cast<size_t>(block) * static_cast<size_t>(outChannels));

    LoudnessMeter inMeter(in.channels, in.rate), outMeter(outChannels, in.rate);
    Progress progress(!o.quiet && stderrIsTerminal(), in.frames, in.rate);

    int64_t framesIn = 0, framesProcessed = 0, framesOut = 0, nonFinite = 0;
    const int64_t skip = o.rawLatency ? 0 : latency;

    // Runs one block (already in ins[0]) and writes what is due of its output.
    auto runBlock = [&](int n) -> Status {
        plugin.process(inPtr.data(), outPtr.data(), n);
        const int64_t first = std::clamp<int64_t>(skip - framesProcessed, 0, n);
        framesProcessed += n;
        const int64_t count = n - first;
        if (count <= 0) return Status::success();
        for (int64_t i = 0; i < count; ++i)
            for (int c = 0; c < outChannels; ++c)
                interleavedOut[static_cast<size_t>(i * outChannels + c)] = outs[static_cast<size_t>(c)][static_cast<size_t>(first + i)];
        nonFinite += countNonFinite(interleavedOut.data(), count * outChannels);
        outMeter.add(interleavedOut.data(), count);
        framesOut += count;
        return sink.write(interleavedOut.data(), count);
    };

    plugin.resume();
    for (;;) {
        auto got = source->read(interleavedIn.data(), block);
        if (!got.ok()) return got.status();
        const int n = static_cast<int>(got.value());
        if (n == 0) break;
        inMeter.add(interleavedIn.data(), n);
        float* mono = ins[0].data();
        if (in.channels == 1) {
            std::copy_n(interleavedIn.data(), n, mono);
        } else {
            for (int i = 0; i < n; ++i) mono[i] = (interleavedIn[static_cast<size_t>(2 * i)] + interleavedIn[static_cast<size_t>(2 * i + 1)]) * 0.5f;
        }
        Status s = runBlock(n);
        if (!s.ok()) return s;
        framesIn += n;
        progress.update(framesIn);
    }
    // Flush: zeros until the output has the input's length.
    std::fill(ins[0].begin(), ins[0].end(), 0.0f);
    while (framesOut < framesIn && !o.rawLatency) {
        const int n = static_cast<int>(std::min<int64_t>(block, framesIn + skip - framesProcessed));
        Status s = runBlock(n);
        if (!s.ok()) return s;
    }
    plugin.suspend();
    progress.finish();

    Status done = sink.finish();
    if (!done.ok()) return done;

    RenderReport r;
    r.input = source->name();
    r.output = sink.name();
    r.plugin = plugin.path();
    r.inputFormat = describeFormat(in.sfFormat);
    r.outputFormat = describeFormat(sink.sfFormat());
    r.rate = in.rate;
    r.inputChannels = in.channels;
    r.outputChannels = outChannels;
    r.inputFrames = framesIn;
    r.outputFrames = framesOut;
    r.latency = latency;
    r.compensated = !o.rawLatency;
    r.blockSize = block;
    r.in = inMeter.summary();
    r.out = outMeter.summary();
    r.nonFinite = nonFinite;
    r.elapsedSeconds = progress.elapsedSeconds();
    r.speed = r.elapsedSeconds > 0 ? static_cast<double>(framesIn) / in.rate / r.elapsedSeconds : 0.0;
    for (const auto& p : table.params()) r.parameters.emplace_back(p.name, table.currentText(plugin, p.index));

    if (!o.quiet) std::fputs(reportText(r).c_str(), text);
    if (!o.reportJson.empty()) {
        Status s = writeAndCommit(reportFile, reportJson(r));
        if (!s.ok()) return s;
    }
    if (!o.plot.empty()) {
        std::vector<PlotSeries> series = {
            {"input", inMeter.shortTerm(), r.in.integratedLufs, "#1f6fb4"},
            {"output", outMeter.shortTerm(), r.out.integratedLufs, "#d9480f"},
        };
        const std::string title = "Loudness: " + r.input + " through " + plugin.effectName();
        Status s = writeAndCommit(plotFile, loudnessPlotSvg(title, series, LoudnessMeter::stepSeconds));
        if (!s.ok()) return s;
    }
    // A broken render is never passed off as a good one, but its file stays for inspection.
    if (nonFinite > 0)
        return Status::fail(kExitNonFinite, "the plug-in's output holds " + std::to_string(nonFinite) +
                                                " NaN or infinite samples; " + r.output + " is written for inspection");
    return Status::success();
}

}  // namespace plumbra::host
