// plumbra: a command-line VST 2 host for the Halvex_Plumbra-Vektis plug-in.
// Parses the command line, runs one command and prints any failure once, as
// one line on standard error, exiting with the code that names its kind.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/audio_io.h"
#include "host/batch.h"
#include "host/demo.h"
#include "host/file_io.h"
#include "host/params.h"
#include "host/plugin_host.h"
#include "host/render.h"
#include "host/status.h"

#ifdef _WIN32
#include <io.h>
#define plumbra_isatty _isatty
#else
#include <unistd.h>
#define plumbra_isatty isatty
#endif

using namespace plumbra::host;

namespace {

constexpr const char* kVersion = "1.0";

const char* kHelp = R"(plumbra: renders audio through the Halvex_Plumbra-Vektis VST 2 plug-in

usage:
  plumbra render IN OUT [options]      process a file; IN or OUT may be - (standard input/output)
  plumbra render IN... -o DIR [options]
                                       process files and folders (recursively) into DIR
  plumbra render --demo OUT [options]  process the built-in 30 s demo programme
  plumbra analyze IN... [--json|--csv] loudness and peaks of files, folders or - (standard
                                       input), without the plug-in
  plumbra demo OUT [--demo-length S] [--format F]
                                       write the unprocessed demo programme
  plumbra params [--preset [FILE]] [--set NAME=VALUE]...
                                       list the parameters, or print them as a preset
  plumbra info                         what a host sees when it scans the plug-in
  plumbra --help | --version

render options:
  --set NAME=VALUE     set a parameter by name (as `plumbra params` shows it) or index, in the
                       control's own unit: --set "Lowpass Filter=12000" --set 16=-40;
                       switches take on/off; repeatable, applied after --preset
  --preset FILE        text preset: one NAME=VALUE per line, # starts a comment
  --format F           output samples: pcm16, pcm24 or float (default: as the input's)
  --raw-latency        keep the plug-in's own delay instead of aligning output with input
  --no-tags            do not copy the input's tags (title, artist, album, ...) to the output
  --quiet              no progress line, notes or report on the terminal
  --report-json FILE   write the loudness report as JSON; - writes it to standard output
                       (not with OUT -), and the text report goes to standard error
  --plot FILE.svg      draw short-term loudness of input and output over time (one file only)
  --plugin PATH        the plug-in library (default: $PLUMBRA_PLUGIN, else the one beside plumbra)
  --block-size N       frames per processing call (default 1024)
  --demo-length S      with --demo or demo: only the first S seconds of the programme

batch options (render IN... -o DIR):
  -o DIR               output folder, created if missing: each file keeps its place below the
                       folder it was found in (a file named alone goes to the top) and its name
  --ext EXT            output container by extension (wav, flac, ogg, ...); default: the input's
  -j N, --jobs N       render N files at once, each in its own plug-in instance (default: the
                       number of cores)
  --overwrite          replace existing outputs (by default an existing output is refused and
                       counts as a failed file)
  --skip-existing      leave existing outputs alone and count them as done, so that an
                       interrupted batch run again finishes the rest
  A single IN OUT render keeps its behaviour: OUT is replaced if it exists.

analyze options:
  --json, --csv        machine-readable output on standard output instead of the table
  -j N, --jobs N       measure N files at once (default: the number of cores)

Output is the plug-in's two channels at the input's sample rate, in the container named by
OUT's extension (.wav .flac .aiff .caf .w64 .rf64 .au .ogg ...); OUT - writes a WAV stream.
Stereo input is mixed to mono as (L+R)/2; more than two channels is an error. By default the
plug-in's reported delay is removed and its tail flushed, so output and input line up and have
the same length. Files appear only when complete (written to a temporary file, then renamed).
Tags are copied where the output's container holds them; the report names any it cannot hold.
plumbra never writes over its input (recognised by identity, links included).
  ffmpeg -i show.mp3 -f wav - | plumbra render - - | ffmpeg -i - show.ogg
  plumbra render ~/podcasts -o ~/levelled --ext flac --skip-existing

exit codes:
  0  success
  1  internal error
  2  bad command line (unknown command or option, missing argument, bad --format,
     IN and OUT the same file)
  3  bad parameter: unknown name or index, bad or out-of-range value, bad preset file
  4  input missing, unreadable, of an unknown format, or with more than two channels
  5  output cannot be written (folder missing, no permission, disk full, unknown extension)
  6  plug-in library missing, without VSTPluginMain, or refusing to start
  7  the plug-in's output held NaN or infinite samples: their count is reported and OUT is
     still written, so that it can be inspected
  8  some files of a batch (render -o, analyze) failed: each is reported, the last line
     lists them, and the other files are done
)";

Status usage(const std::string& why)
{
    return Status::fail(kExitUsage, why + " (plumbra --help shows the usage)");
}

// Command-line arguments with "--name value" and "--name=value" options.
struct Args {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options;  // name, value ("" for flags)
};

bool isValueOption(const std::string& name)
{
    static const char* names[] = {"--set", "--format", "--report-json", "--plot", "--plugin", "--block-size",
                                  "--demo-length", "--ext", "--jobs", "-o", "-j"};
    for (const char* n : names)
        if (name == n) return true;
    return false;
}

bool isFlag(const std::string& name)
{
    static const char* names[] = {"--demo", "--raw-latency", "--quiet", "--help", "--version", "--overwrite",
                                  "--skip-existing", "--no-tags", "--json", "--csv"};
    for (const char* n : names)
        if (name == n) return true;
    return false;
}

Result<Args> parseArgs(int argc, char** argv, int first)
{
    Args a;
    for (int i = first; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            std::string name = arg, value;
            auto eq = arg.find('=');
            bool inlineValue = eq != std::string::npos;
            if (inlineValue) {
                name = arg.substr(0, eq);
                value = arg.substr(eq + 1);
            }
            if (name == "--preset") {
                // A file follows, except for `params --preset` on its own.
                if (!inlineValue && i + 1 < argc && std::string(argv[i + 1]).compare(0, 2, "--") != 0) value = argv[++i];
                a.options.emplace_back(name, value);
            } else if (isValueOption(name)) {
                if (!inlineValue) {
                    if (i + 1 >= argc) return usage(name + " needs a value");
                    value = argv[++i];
                }
                a.options.emplace_back(name, value);
            } else if (isFlag(name)) {
                if (inlineValue) return usage(name + " takes no value");
                a.options.emplace_back(name, "");
            } else {
                return usage("unknown option " + name);
            }
        } else if (arg == "-h") {
            a.options.emplace_back("--help", "");
        } else if (arg == "-o" || arg == "-j") {
            if (i + 1 >= argc) return usage(arg + " needs a value");
            a.options.emplace_back(arg, argv[++i]);
        } else if (arg.size() > 2 && (arg.compare(0, 2, "-j") == 0 || arg.compare(0, 2, "-o") == 0)) {
            a.options.emplace_back(arg.substr(0, 2), arg.substr(2));
        } else {
            a.positional.push_back(arg);
        }
    }
    return a;
}

std::string pluginPath(const Args& a)
{
    std::string path;
    for (const auto& [n, v] : a.options)
        if (n == "--plugin") path = v;
    if (path.empty()) {
        const char* env = std::getenv("PLUMBRA_PLUGIN");
        if (env && *env) path = env;
    }
    return path.empty() ? defaultPluginPath() : path;
}

bool has(const Args& a, const char* name)
{
    for (const auto& o : a.options)
        if (o.first == name) return true;
    return false;
}

Status checkAllowed(const Args& a, std::initializer_list<const char*> allowed, const std::string& command)
{
    for (const auto& o : a.options) {
        bool ok = false;
        for (const char* n : allowed) ok = ok || o.first == n;
        if (!ok) return usage(o.first + " does not apply to plumbra " + command);
    }
    return Status::success();
}

Result<double> parsePositive(const std::string& name, const std::string& v, double lo, double hi)
{
    char* end = nullptr;
    double x = std::strtod(v.c_str(), &end);
    if (v.empty() || *end != '\0' || !(x >= lo && x <= hi))
        return usage(name + " wants a number from " + std::to_string(static_cast<long>(lo)) + " to " +
                     std::to_string(static_cast<long>(hi)) + ", not \"" + v + "\"");
    return x;
}

Result<int> parseJobs(const Args& a)
{
    int jobs = defaultJobs();
    for (const auto& [n, v] : a.options) {
        if (n != "-j" && n != "--jobs") continue;
        auto j = parsePositive("-j", v, 1, 64);
        if (!j.ok()) return j.status();
        jobs = static_cast<int>(j.value());
    }
    return jobs;
}

Status cmdRender(const Args& a)
{
    const bool batch = has(a, "-o");
    Status s = batch ? checkAllowed(a, {"--set", "--preset", "--format", "--raw-latency", "--quiet", "--report-json",
                                        "--plugin", "--block-size", "--no-tags", "-o", "-j", "--jobs", "--ext",
                                        "--overwrite", "--skip-existing"},
                                    "render -o (a batch; --plot and --demo take one file)")
                     : checkAllowed(a, {"--set", "--preset", "--format", "--raw-latency", "--quiet", "--report-json",
                                        "--plot", "--plugin", "--block-size", "--demo", "--demo-length", "--no-tags"},
                                    "render IN OUT (-j, --ext, --overwrite and --skip-existing go with -o DIR)");
    if (!s.ok()) return s;
    RenderOptions o;
    o.demo = has(a, "--demo");
    for (const auto& [n, v] : a.options) {
        if (n == "--set") o.sets.push_back(v);
        if (n == "--preset") {
            if (v.empty()) return usage("--preset needs a file");
            o.preset = v;
        }
        if (n == "--format") {
            auto f = parseSampleFormat(v);
            if (!f.ok()) return f.status();
            o.format = f.value();
        }
        if (n == "--report-json") o.reportJson = v;
        if (n == "--plot") o.plot = v;
        if (n == "--block-size") {
            auto b = parsePositive(n, v, 1, 65536);
            if (!b.ok()) return b.status();
            o.blockSize = static_cast<int>(b.value());
        }
        if (n == "--demo-length") {
            if (!o.demo) return usage("--demo-length applies to --demo only");
            auto d = parsePositive(n, v, 0, kDemoSeconds);
            if (!d.ok()) return d.status();
            o.demoSeconds = d.value();
        }
    }
    o.rawLatency = has(a, "--raw-latency");
    o.quiet = has(a, "--quiet");
    o.tags = !has(a, "--no-tags");
    o.plugin = pluginPath(a);

    if (batch) {
        BatchOptions b;
        for (const auto& [n, v] : a.options) {
            if (n == "-o") b.outputFolder = v;
            if (n == "--ext") b.extension = v.size() > 1 && v[0] == '.' ? v.substr(1) : v;
        }
        if (b.outputFolder.empty()) return usage("-o needs a folder");
        if (b.extension.empty() && has(a, "--ext")) return usage("--ext needs an extension");
        if (a.positional.empty()) return usage("render -o DIR wants at least one input file or folder");
        if (has(a, "--overwrite") && has(a, "--skip-existing"))
            return usage("--overwrite and --skip-existing exclude each other");
        auto jobs = parseJobs(a);
        if (!jobs.ok()) return jobs.status();
        b.inputs = a.positional;
        b.jobs = jobs.value();
        b.existing = has(a, "--overwrite") ? ExistingOutput::Overwrite
                     : has(a, "--skip-existing") ? ExistingOutput::Skip : ExistingOutput::Refuse;
        b.quiet = o.quiet;
        b.reportJson = o.reportJson;
        b.plugin = o.plugin;
        b.preset = o.preset;
        b.sets = o.sets;
        b.setup.format = o.format;
        b.setup.rawLatency = o.rawLatency;
        b.setup.tags = o.tags;
        b.setup.blockSize = o.blockSize;
        return runBatch(b);
    }

    const size_t want = o.demo ? 1 : 2;
    if (a.positional.size() != want)
        return usage(o.demo ? "render --demo wants one argument, OUT"
                            : "render wants two arguments, IN and OUT (or inputs and -o DIR)");
    if (o.demo) {
        o.output = a.positional[0];
    } else {
        o.input = a.positional[0];
        o.output = a.positional[1];
    }
    if (!o.demo && o.input != "-" && o.output != "-" && (o.input == o.output || sameFile(o.input, o.output)))
        return usage("IN and OUT are the same file (" + o.output + " is " + o.input +
                     "); plumbra never writes over its input");
    if (!o.demo && o.input == "-" && plumbra_isatty(0))
        return usage("IN is - but standard input is a terminal: pipe audio into plumbra or name a file");
    if (o.output == "-" && plumbra_isatty(1))
        return usage("OUT is - but standard output is a terminal: pipe it on or name a file");
    if (o.output == "-" && o.reportJson == "-")
        return usage("--report-json - needs standard output, but OUT - writes the audio there");
    return runRender(o);
}

Status cmdAnalyze(const Args& a)
{
    Status s = checkAllowed(a, {"--json", "--csv", "--quiet", "-j", "--jobs"}, "analyze");
    if (!s.ok()) return s;
    if (a.positional.empty()) return usage("analyze wants at least one file, folder or -");
    AnalyzeOptions o;
    o.inputs = a.positional;
    o.json = has(a, "--json");
    o.csv = has(a, "--csv");
    o.quiet = has(a, "--quiet");
    if (o.json && o.csv) return usage("--json and --csv exclude each other");
    for (const auto& in : o.inputs)
        if (in == "-" && plumbra_isatty(0))
            return usage("IN is - but standard input is a terminal: pipe audio into plumbra or name a file");
    auto jobs = parseJobs(a);
    if (!jobs.ok()) return jobs.status();
    o.jobs = jobs.value();
    return runAnalyze(o);
}

Status cmdDemo(const Args& a)
{
    Status s = checkAllowed(a, {"--demo-length", "--format"}, "demo");
    if (!s.ok()) return s;
    if (a.positional.size() != 1) return usage("demo wants one argument, OUT");
    double seconds = kDemoSeconds;
    SampleFormat format = SampleFormat::FollowInput;
    for (const auto& [n, v] : a.options) {
        if (n == "--demo-length") {
            auto d = parsePositive(n, v, 0, kDemoSeconds);
            if (!d.ok()) return d.status();
            seconds = d.value();
        }
        if (n == "--format") {
            auto f = parseSampleFormat(v);
            if (!f.ok()) return f.status();
            format = f.value();
        }
    }
    auto source = makeDemoSource(seconds);
    auto sink = AudioSink::create(a.positional[0], kDemoRate, 1, format, source->format().sfFormat);
    if (!sink.ok()) return sink.status();
    std::vector<float> buf(4096);
    for (;;) {
        auto n = source->read(buf.data(), static_cast<int64_t>(buf.size()));
        if (!n.ok()) return n.status();
        if (n.value() == 0) break;
        s = sink.value()->write(buf.data(), n.value());
        if (!s.ok()) return s;
    }
    return sink.value()->finish();
}

Status cmdParams(const Args& a)
{
    Status s = checkAllowed(a, {"--preset", "--set", "--plugin"}, "params");
    if (!s.ok()) return s;
    if (!a.positional.empty()) return usage("params takes no arguments");
    auto loaded = Plugin::load(pluginPath(a));
    if (!loaded.ok()) return loaded.status();
    Plugin& plugin = *loaded.value();
    auto discovered = ParamTable::discover(plugin);
    if (!discovered.ok()) return discovered.status();
    const ParamTable& table = discovered.value();

    bool presetForm = false;
    std::vector<Assignment> assignments;
    for (const auto& [n, v] : a.options) {
        if (n == "--preset") {
            presetForm = true;
            if (!v.empty()) {
                auto p = table.readPreset(v);
                if (!p.ok()) return p.status();
                assignments.insert(assignments.end(), p.value().begin(), p.value().end());
            }
        }
    }
    for (const auto& [n, v] : a.options) {
        if (n != "--set") continue;
        auto x = table.parse(v);
        if (!x.ok()) return Status::fail(x.status().code, "--set " + v + ": " + x.status().reason);
        assignments.push_back(x.value());
    }
    ParamTable::apply(plugin, assignments);

    if (presetForm) {
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
    Status s = checkAllowed(a, {"--plugin"}, "info");
    if (!s.ok()) return s;
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
    std::printf("inputs         %d\n", e.numInputs);
    for (int i = 0; i < e.numInputs; ++i) {
        PinInfo pin = p.inputPin(i);
        if (pin.present)
            std::printf("  in %d         \"%s\" (\"%s\"), flags %d\n", i, pin.label.c_str(), pin.shortLabel.c_str(), pin.flags);
    }
    std::printf("outputs        %d\n", e.numOutputs);
    for (int i = 0; i < e.numOutputs; ++i) {
        PinInfo pin = p.outputPin(i);
        if (pin.present)
            std::printf("  out %d        \"%s\" (\"%s\"), flags %d\n", i, pin.label.c_str(), pin.shortLabel.c_str(), pin.flags);
    }
    std::printf("latency        %d samples (%.1f ms at 44100 Hz)\n", e.initialDelay, 1000.0 * e.initialDelay / 44100.0);
    std::printf("flags          0x%X (%s)\n", static_cast<unsigned>(e.flags), flagNames(e.flags).c_str());
    return Status::success();
}

Status run(int argc, char** argv)
{
    if (argc < 2) return usage("no command given");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kHelp, stdout);
        return Status::success();
    }
    if (command == "--version") {
        std::printf("plumbra %s\n", kVersion);
        return Status::success();
    }
    auto args = parseArgs(argc, argv, 2);
    if (!args.ok()) return args.status();
    if (has(args.value(), "--help")) {
        std::fputs(kHelp, stdout);
        return Status::success();
    }
    if (command == "render") return cmdRender(args.value());
    if (command == "analyze") return cmdAnalyze(args.value());
    if (command == "demo") return cmdDemo(args.value());
    if (command == "params") return cmdParams(args.value());
    if (command == "info") return cmdInfo(args.value());
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
