// plumbra: a command-line VST 2 host for the Halvex_Plumbra-Vektis plug-in.
// Parses the command line, runs one command and prints any failure once, as
// one line on standard error, exiting with the code that names its kind.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "host/audio/audio_io.h"
#include "host/render/batch.h"
#include "host/delivery/delivery.h"
#include "host/render/demo.h"
#include "host/audio/file_io.h"
#include "host/common/options.h"
#include "host/plugin/params.h"
#include "host/plugin/plugin_host.h"
#include "host/common/progress.h"
#include "host/render/render.h"
#include "host/common/status.h"
#include "host/common/version.h"
#ifdef PLUMBRA_HAS_LIVE
#include "host/live/live.h"
#endif

using namespace plumbra::host;

namespace {

std::string pluginPath(const Args& a)
{
    std::string path = a.last("--plugin");
    if (path.empty()) {
        const char* env = std::getenv("PLUMBRA_PLUGIN");
        if (env && *env) path = env;
    }
    return path.empty() ? defaultPluginPath() : path;
}

// Sets `out` from the value of a number option, which must lie in [lo, hi].
template <class T>
Status number(const std::string& name, const std::string& v, double lo, double hi, T& out)
{
    char* end = nullptr;
    double x = std::strtod(v.c_str(), &end);
    if (v.empty() || *end != '\0' || !(x >= lo && x <= hi))
        return usage(name + " wants a number from " + std::to_string(static_cast<long>(lo)) + " to " +
                     std::to_string(static_cast<long>(hi)) + ", not \"" + v + "\"");
    out = static_cast<T>(x);
    return Status::success();
}

// --target, and --true-peak and --max-gain, which go with it only.
Result<std::optional<DeliveryTarget>> parseDelivery(const Args& a)
{
    if (!a.has("--target")) {
        if (a.has("--true-peak")) return usage("--true-peak sets the ceiling of a --target; give one");
        if (a.has("--max-gain")) return usage("--max-gain caps the gain of a --target; give one");
        return std::optional<DeliveryTarget>();
    }
    auto t = parseTarget(a.last("--target"), a.last("--true-peak"), a.last("--max-gain"));
    if (!t.ok()) return t.status();
    return std::optional<DeliveryTarget>(t.value());
}

Result<int> parseJobs(const Args& a)
{
    int jobs = defaultJobs();
    for (const auto& v : a.values("--jobs")) {
        Status s = number("-j", v, 1, 64, jobs);
        if (!s.ok()) return s;
    }
    return jobs;
}

// What every render takes (and demo, which takes a part of it), checked in the order given.
Result<RenderOptions> renderOptions(const Args& a, bool demo)
{
    RenderOptions o;
    o.demo = demo;
    for (const auto& [n, typed, v] : a.options) {
        Status s;
        if (n == "--preset" && v.empty()) s = usage("--preset needs a file");
        if (n == "--block-size") s = number(n, v, 1, 65536, o.setup.blockSize);
        if (n == "--demo-length")
            s = demo ? number(n, v, 0, kDemoSeconds, o.demoSeconds) : usage("--demo-length applies to --demo only");
        if (n == "--format") {
            auto f = parseSampleFormat(v);
            if (f.ok()) o.setup.format = f.value();
            s = f.status();
        }
        if (!s.ok()) return s;
    }
    if (a.has("--preset")) o.presets = {a.last("--preset")};
    o.sets = a.values("--set");
    o.reportJson = a.last("--report-json");
    o.plot = a.last("--plot");
    o.meters = a.last("--meters");
    if (a.has("--meters") && (o.meters.empty() || o.meters == "-")) return usage("--meters needs a file");
    if (a.has("--meters") && a.has("--plugin"))
        return usage("--meters runs the processor linked into plumbra; it does not go with --plugin");
    if (a.has("--meters") && a.has("--block-size"))
        return usage("--meters processes in blocks of 100 ms; it does not go with --block-size");
    auto target = parseDelivery(a);
    if (!target.ok()) return target.status();
    o.target = target.value();
    if (o.target && a.has("--meters"))
        return usage("--target renders the programme more than once; it does not go with --meters");
    o.setup.rawLatency = a.has("--raw-latency");
    o.setup.tags = !a.has("--no-tags");
    o.quiet = a.has("--quiet");
    o.plugin = pluginPath(a);
    return o;
}

Status renderBatch(const Args& a, const RenderOptions& o)
{
    BatchOptions b;
    b.render = o;
    b.outputFolder = a.last("-o");
    const std::string ext = a.last("--ext");
    b.extension = ext.size() > 1 && ext[0] == '.' ? ext.substr(1) : ext;
    if (b.outputFolder.empty()) return usage("-o needs a folder");
    if (b.extension.empty() && a.has("--ext")) return usage("--ext needs an extension");
    b.manifest = a.last("--manifest");
    if (a.has("--manifest") && b.manifest.empty()) return usage("--manifest needs a file");
    if (a.has("--manifest") && !a.positional.empty())
        return usage("--manifest names the inputs; give no files or folders besides it");
    if (a.positional.empty() && !a.has("--manifest"))
        return usage("render -o DIR wants at least one input file or folder, or --manifest FILE");
    if (a.has("--overwrite") && a.has("--skip-existing")) return usage("--overwrite and --skip-existing exclude each other");
    if (a.has("--shards") && a.last("--shard") != "auto") return usage("--shards goes with --shard auto");
    if (a.has("--shard")) {
        auto shard = parseShard(a.last("--shard"), a.last("--shards"), [](const char* name) { return std::getenv(name); });
        if (!shard.ok()) return shard.status();
        b.shard = shard.value();
    }
    b.reportDir = a.last("--report-dir");
    if (a.has("--report-dir") && b.reportDir.empty()) return usage("--report-dir needs a folder");
    b.album = a.has("--album");
    if (b.album && !o.target) return usage("--album gives all the files one gain onto a --target; give one");
    if (b.album && a.has("--shard"))
        return usage("--album measures all the files of one run together, and one gain needs the whole album: it does "
                     "not go with --shard");
    if (b.album && a.has("--skip-existing"))
        return usage("--album renders every file with the gain of the whole album: it does not go with --skip-existing");
    auto jobs = parseJobs(a);
    if (!jobs.ok()) return jobs.status();
    b.inputs = a.positional;
    b.jobs = jobs.value();
    b.existing = a.has("--overwrite")       ? ExistingOutput::Overwrite
                 : a.has("--skip-existing") ? ExistingOutput::Skip
                                            : ExistingOutput::Refuse;
    return runBatch(b);
}

Status stdinIsTerminal()
{
    return usage("IN is - but standard input is a terminal: pipe audio into plumbra or name a file");
}

Status renderOne(const Args& a, RenderOptions o)
{
    if (a.positional.size() != (o.demo ? 1u : 2u))
        return usage(o.demo ? "render --demo wants one argument, OUT"
                            : "render wants two arguments, IN and OUT (or inputs and -o DIR)");
    o.output = a.positional.back();
    if (!o.demo) o.input = a.positional[0];
    if (!o.demo && o.input != "-" && o.output != "-" && (o.input == o.output || sameFile(o.input, o.output)))
        return usage("IN and OUT are the same file (" + o.output + " is " + o.input +
                     "); plumbra never writes over its input");
    if (!o.demo && o.input == "-" && o.target)
        return usage("--target measures the programme before it renders it, so it reads IN twice, which standard "
                     "input cannot be; save the stream to a file first");
    if (!o.demo && o.input == "-" && isTerminal(0)) return stdinIsTerminal();
    if (o.output == "-" && isTerminal(1))
        return usage("OUT is - but standard output is a terminal: pipe it on or name a file");
    if (o.output == "-" && o.reportJson == "-")
        return usage("--report-json - needs standard output, but OUT - writes the audio there");
    return runRender(o);
}

Status cmdRender(const Args& a)
{
    auto o = renderOptions(a, a.has("--demo"));
    if (!o.ok()) return o.status();
    return a.has("-o") ? renderBatch(a, o.value()) : renderOne(a, o.value());
}

Status cmdAnalyze(const Args& a)
{
    if (a.positional.empty()) return usage("analyze wants at least one file, folder or -");
    AnalyzeOptions o;
    o.inputs = a.positional;
    o.quiet = a.has("--quiet");
    if (a.has("--json") && a.has("--csv")) return usage("--json and --csv exclude each other");
    o.format = a.has("--json") ? AnalyzeFormat::Json : a.has("--csv") ? AnalyzeFormat::Csv : AnalyzeFormat::Table;
    for (const auto& in : o.inputs)
        if (in == "-" && isTerminal(0)) return stdinIsTerminal();
    auto jobs = parseJobs(a);
    if (!jobs.ok()) return jobs.status();
    o.jobs = jobs.value();
    auto target = parseDelivery(a);
    if (!target.ok()) return target.status();
    o.target = target.value();
    return runAnalyze(o);
}

Status cmdMergeReports(const Args& a)
{
    if (a.positional.size() != 1) return usage("merge-reports wants one folder, the --report-dir of the renders");
    if (a.has("--json") && a.has("--csv")) return usage("--json and --csv exclude each other");
    MergeOptions o;
    o.folder = a.positional[0];
    o.manifest = a.last("--manifest");
    if (a.has("--manifest") && o.manifest.empty()) return usage("--manifest needs a file");
    o.format = a.has("--json") ? AnalyzeFormat::Json : a.has("--csv") ? AnalyzeFormat::Csv : AnalyzeFormat::Table;
    return runMergeReports(o);
}

Status cmdDemo(const Args& a)
{
    if (a.positional.size() != 1) return usage("demo wants one argument, OUT");
    auto o = renderOptions(a, true);
    if (!o.ok()) return o.status();
    auto source = makeDemoSource(o->demoSeconds);
    auto sink = AudioSink::create(a.positional[0], kDemoRate, 1, o->setup.format, source->format().sfFormat);
    if (!sink.ok()) return sink.status();
    std::vector<float> buf(4096);
    for (;;) {
        auto n = source->read(buf.data(), static_cast<int64_t>(buf.size()));
        if (!n.ok()) return n.status();
        if (n.value() == 0) break;
        Status s = sink.value()->write(buf.data(), n.value());
        if (!s.ok()) return s;
    }
    return sink.value()->finish();
}

Status cmdParams(const Args& a)
{
    if (!a.positional.empty()) return usage("params takes no arguments");
    auto loaded = Plugin::load(pluginPath(a));
    if (!loaded.ok()) return loaded.status();
    Plugin& plugin = *loaded.value();
    auto discovered = ParamTable::discover(plugin);
    if (!discovered.ok()) return discovered.status();
    const ParamTable& table = discovered.value();

    std::vector<std::string> presets;
    for (const auto& p : a.values("--preset"))
        if (!p.empty()) presets.push_back(p);
    auto assignments = collectAssignments(table, presets, a.values("--set"));
    if (!assignments.ok()) return assignments.status();
    ParamTable::apply(plugin, assignments.value());

    if (a.has("--preset")) {
        std::fputs(table.presetText(plugin).c_str(), stdout);
        return Status::success();
    }
    std::printf("%s: %d parameters, values in each control's own unit\n\n", plugin.effectName().c_str(),
                plugin.numParams());
    std::printf("%3s  %-38s %-5s %9s  %-18s %s\n", "#", "name", "unit", "default", "range", "current");
    for (const auto& p : table.params()) {
        const std::string def = p.format(p.plainOf(p.defaultNormalised));
        std::printf("%3d  %-38s %-5s %9s  %-18s %s\n", p.index, p.name.c_str(), p.unit.c_str(), def.c_str(),
                    p.rangeText().c_str(), plugin.paramDisplay(p.index).c_str());
    }
    return Status::success();
}

std::string fourChars(VstInt32 id)
{
    std::string s;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = static_cast<char>((static_cast<uint32_t>(id) >> shift) & 0xFF);
        s += (c >= 32 && c < 127) ? c : '.';
    }
    return s;
}

std::string flagNames(VstInt32 flags)
{
    struct F {
        VstInt32 bit;
        const char* name;
    };
    static constexpr F names[] = {{effFlagsHasEditor, "HasEditor"},       {effFlagsCanReplacing, "CanReplacing"},
                                  {effFlagsProgramChunks, "ProgramChunks"}, {effFlagsIsSynth, "IsSynth"},
                                  {effFlagsNoSoundInStop, "NoSoundInStop"}, {effFlagsCanDoubleReplacing, "CanDoubleReplacing"}};
    std::string out;
    for (const auto& f : names)
        if (flags & f.bit) out += (out.empty() ? "" : ", ") + std::string(f.name);
    return out.empty() ? "none" : out;
}

Status cmdInfo(const Args& a)
{
    if (!a.positional.empty()) return usage("info takes no arguments");
    auto loaded = Plugin::load(pluginPath(a));
    if (!loaded.ok()) return loaded.status();
    Plugin& p = *loaded.value();
    const AEffect& e = p.descriptor();
    std::printf("library        %s\n", p.path().c_str());
    std::printf("effect name    %s\n", p.effectName().c_str());
    std::printf("product        %s\n", p.productString().c_str());
    std::printf("vendor         %s\n", p.vendorString().c_str());
    std::printf("vendor version %ld\n", static_cast<long>(p.vendorVersion()));
    std::printf("unique ID      %ld (0x%08X, '%s')\n", static_cast<long>(e.uniqueID), static_cast<unsigned>(e.uniqueID),
                fourChars(e.uniqueID).c_str());
    std::printf("version        %d\n", e.version);
    std::printf("VST version    %ld\n", static_cast<long>(p.vstVersion()));
    std::printf("category       %ld\n", static_cast<long>(p.category()));
    std::printf("programs       %d (first: \"%s\")\n", e.numPrograms, p.programName(0).c_str());
    std::printf("parameters     %d\n", e.numParams);
    auto pins = [&p](const std::string& what, int count, PinInfo (Plugin::*pin)(int)) {
        std::printf("%-15s%d\n", (what + "puts").c_str(), count);
        for (int i = 0; i < count; ++i)
            if (const PinInfo info = (p.*pin)(i); info.present)
                std::printf("  %s %d%*s\"%s\" (\"%s\"), flags %d\n", what.c_str(), i, static_cast<int>(11 - what.size()), "",
                            info.label.c_str(), info.shortLabel.c_str(), info.flags);
    };
    pins("in", e.numInputs, &Plugin::inputPin);
    pins("out", e.numOutputs, &Plugin::outputPin);
    std::printf("latency        %d samples (%.1f ms at 44100 Hz)\n", e.initialDelay, 1000.0 * e.initialDelay / 44100.0);
    std::printf("flags          0x%X (%s)\n", static_cast<unsigned>(e.flags), flagNames(e.flags).c_str());
    return Status::success();
}

Status cmdLive([[maybe_unused]] const Args& a)
{
#ifdef PLUMBRA_HAS_LIVE
    return live::runLiveCommand(a);
#else
    return Status::fail(kExitUsage, "plumbra live is not available in this build (it needs Linux, JACK and ALSA)");
#endif
}

Status cmdTargets(const Args& a)
{
    if (!a.positional.empty()) return usage("targets takes no arguments");
    std::fputs(targetsText().c_str(), stdout);
    return Status::success();
}

Status run(int argc, char** argv)
{
    if (argc < 2) return usage("no command given");
    const std::string command = argv[1];
    if (command == "--version") {
        std::printf("plumbra %s\n", kVersion);
        return Status::success();
    }
    // The manual pages, which the build makes from the option table (not in --help).
    if (command == "--help-man") {
        const bool live = argc > 2 && std::string(argv[2]) == "live";
        std::fputs((live ? liveManPage(kVersion) : manPage(kVersion)).c_str(), stdout);
        return Status::success();
    }
    const bool help = command == "--help" || command == "-h" || command == "help";
    auto args = help ? Result<Args>(Args{}) : parseArgs(argc, argv, 2);
    if (!args.ok()) return args.status();
    if (help || args->has("--help")) {
        std::fputs((command == "live" ? liveHelpText() : helpText()).c_str(), stdout);
        return Status::success();
    }
    struct Command {
        const char* name;
        Scope scope;
        Status (*run)(const Args&);
    };
    static constexpr Command commands[] = {{"render", kRenderOne, cmdRender}, {"analyze", kAnalyze, cmdAnalyze},
                                           {"demo", kDemo, cmdDemo},          {"params", kParams, cmdParams},
                                           {"info", kInfo, cmdInfo},          {"live", kLive, cmdLive},
                                           {"targets", kTargets, cmdTargets},
                                           {"merge-reports", kMergeReports, cmdMergeReports}};
    for (const auto& c : commands) {
        if (command != c.name) continue;
        // A render with -o DIR is a batch, which takes options of its own.
        Status s = checkAllowed(args.value(), args->has("-o") && c.scope == kRenderOne ? kRenderBatch : c.scope);
        return s.ok() ? c.run(args.value()) : s;
    }
    return usage("unknown command \"" + command + "\"");
}

}  // namespace

int main(int argc, char** argv)
{
    installSignalCleanup();
    Status s;
    try {
        s = run(argc, argv);
    } catch (const std::exception& e) {
        s = Status::fail(kExitInternal, std::string("internal error: ") + e.what());
    }
    if (!s.ok()) {
        std::fflush(stdout);
        std::fprintf(stderr, "plumbra: %s\n", s.reason.c_str());
        return s.code;
    }
    if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, "plumbra: cannot write standard output: %s\n", systemError().c_str());
        return kExitOutput;
    }
    return kExitOk;
}
