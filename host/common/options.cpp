// The option table and what is made from it.
#include "host/common/options.h"

#include <bit>
#include <sstream>
#include <tuple>

namespace plumbra::host {

namespace {

enum class Takes { Nothing, Value, OptionalValue };

constexpr unsigned kRenderAny = kRenderOne | kRenderBatch;

struct OptionRow {
    const char* name;
    const char* alias;  // a one-letter form, or ""
    Takes takes;
    unsigned scopes;    // --help describes it with the first of render, batch and analyze options it applies to
    const char* label;  // as --help shows it ("" after an option described together with it)
    const char* help;   // lines of the description
};

// An option may have a row per section of the help, with the scopes described there.
const OptionRow kOptions[] = {
    {"--set", "", Takes::Value, kRenderAny | kParams, "--set NAME=VALUE",
     "set a parameter by name (as `plumbra params` shows it, any case), LV2\n"
     "symbol or index, in the control's own unit: --set \"Lowpass Filter=12000\"\n"
     "--set lowpass_filter=12000 --set 16=-40; switches take on/off (yes/no,\n"
     "true/false, 1/0); repeatable, applied after --preset"},
    {"--preset", "", Takes::OptionalValue, kRenderAny | kParams, "--preset FILE",
     "text preset: one NAME=VALUE per line, # starts a comment"},
    {"--format", "", Takes::Value, kRenderAny | kDemo, "--format F",
     "output samples: pcm16, pcm24 or float (default: as the input's)"},
    {"--raw-latency", "", Takes::Nothing, kRenderAny, "--raw-latency",
     "keep the plug-in's own delay instead of aligning output with input"},
    {"--no-tags", "", Takes::Nothing, kRenderAny, "--no-tags",
     "do not copy the input's tags (title, artist, album, ...) to the output"},
    {"--quiet", "", Takes::Nothing, kRenderAny | kAnalyze, "--quiet",
     "no progress line, notes or report on the terminal"},
    {"--report-json", "", Takes::Value, kRenderAny, "--report-json FILE",
     "write the loudness report as JSON; - writes it to standard output\n"
     "(not with OUT -), and the text report goes to standard error"},
    {"--plot", "", Takes::Value, kRenderOne, "--plot FILE.svg",
     "draw short-term loudness of input and output over time (one file only);\n"
     "with --meters also the twelve bands' gain under it"},
    {"--meters", "", Takes::Value, kRenderOne, "--meters FILE",
     "write the processor's meters as JSON lines, one per 100 ms of input, and\n"
     "add a per-band summary to the report; runs the processor linked into\n"
     "plumbra (same audio as the plug-in), so not with --plugin or --block-size"},
    {"--plugin", "", Takes::Value, kRenderAny | kParams | kInfo, "--plugin PATH",
     "the plug-in library (default: $PLUMBRA_PLUGIN, else the one beside plumbra)"},
    {"--block-size", "", Takes::Value, kRenderAny, "--block-size N", "frames per processing call (default 1024)"},
    {"--target", "", Takes::Value, kRenderAny, "--target T",
     "deliver to a loudness target: a name (plumbra targets lists them) or\n"
     "LUFS; the processed programme is measured, then rendered again with the\n"
     "gain that lands it on T and a true-peak limiter at T's ceiling (a file\n"
     "or the demo: standard input cannot be read twice)"},
    {"--true-peak", "", Takes::Value, kRenderAny, "--true-peak DBTP",
     "with --target: this true-peak ceiling instead of the target's own"},
    {"--max-gain", "", Takes::Value, kRenderAny, "--max-gain DB",
     "with --target: raise the programme by at most DB (default 20, 0 to 60);\n"
     "one that needs more is rendered at DB and misses the target (exit 9)"},
    {"--demo-length", "", Takes::Value, kRenderOne | kDemo, "--demo-length S",
     "with --demo or demo: only the first S seconds of the programme"},
    {"-o", "", Takes::Value, kRenderBatch, "-o DIR",
     "output folder, created if missing: each file keeps its place below the\n"
     "folder it was found in (a file named alone goes to the top) and its name"},
    {"--ext", "", Takes::Value, kRenderBatch, "--ext EXT",
     "output container by extension (wav, flac, ogg, ...); default: the input's"},
    {"--jobs", "-j", Takes::Value, kRenderBatch, "-j N, --jobs N",
     "render N files at once, each in its own plug-in instance (default: the\n"
     "number of cores)"},
    {"--overwrite", "", Takes::Nothing, kRenderBatch, "--overwrite",
     "replace existing outputs (by default an existing output is refused and\n"
     "counts as a failed file)"},
    {"--skip-existing", "", Takes::Nothing, kRenderBatch, "--skip-existing",
     "leave existing outputs alone and count them as done, so that an\n"
     "interrupted batch run again finishes the rest"},
    {"--manifest", "", Takes::Value, kRenderBatch | kMergeReports, "--manifest FILE",
     "the inputs from FILE, one per line (relative to FILE's folder, or\n"
     "absolute; # comments), or JSON lines {\"in\", \"out\", \"target\", \"preset\",\n"
     "\"set\"}; outputs keep their paths below FILE's folder"},
    {"--shard", "", Takes::Value, kRenderBatch, "--shard K/N|auto",
     "only the inputs at positions i (from 0) with i mod N = K; auto takes K\n"
     "and N from a Slurm job array or a Kubernetes Indexed Job (with --shards)"},
    {"--shards", "", Takes::Value, kRenderBatch, "--shards N",
     "with --shard auto: N shards, K being the task's index itself"},
    {"--report-dir", "", Takes::Value, kRenderBatch, "--report-dir DIR",
     "a JSON report per file in DIR, named after its output (merge-reports\n"
     "reads them); with --skip-existing an output counts as done with its report"},
    {"--album", "", Takes::Nothing, kRenderBatch, "--album",
     "with --target: one gain for all the files, landing their loudness\n"
     "together on the target, the true-peak ceiling held per file"},
    {"--json", "", Takes::Nothing, kMergeReports, "", ""},
    {"--csv", "", Takes::Nothing, kMergeReports, "", ""},
    {"--json", "", Takes::Nothing, kAnalyze, "--json, --csv",
     "machine-readable output on standard output instead of the table"},
    {"--csv", "", Takes::Nothing, kAnalyze, "", ""},
    {"--jobs", "-j", Takes::Value, kAnalyze, "-j N, --jobs N",
     "measure N files at once (default: the number of cores)"},
    {"--name", "", Takes::Value, kLive, "--name NAME", "JACK client name (default plumbra)"},
    {"--connect-in", "", Takes::Value, kLive, "--connect-in A[,B]",
     "connect these JACK ports to in_left (and in_right) at start; a feed on\n"
     "in_left alone is the programme as it is, a stereo one is mixed (L+R)/2"},
    {"--connect-backup", "", Takes::Value, kLive, "--connect-backup A[,B]",
     "connect these JACK ports to backup_left (and backup_right)"},
    {"--connect-out", "", Takes::Value, kLive, "--connect-out A[,B]",
     "connect out_left (and out_right) to these JACK ports"},
    {"--alsa-in", "", Takes::Value, kLive, "--alsa-in DEV",
     "capture from this ALSA device instead of JACK (with --alsa-out)"},
    {"--alsa-out", "", Takes::Value, kLive, "--alsa-out DEV", "play to this ALSA device"},
    {"--rate", "", Takes::Value, kLive, "--rate R", "ALSA sample rate (default 48000)"},
    {"--period", "", Takes::Value, kLive, "--period N", "ALSA frames per period (default 256)"},
    {"--silence-threshold", "", Takes::Value, kLive, "--silence-threshold DB",
     "the programme is silent below this level, dBFS (default -45)"},
    {"--silence-seconds", "", Takes::Value, kLive, "--silence-seconds S",
     "silence this long puts the backup on air, with a 100 ms crossfade (default 15)"},
    {"--failback-seconds", "", Takes::Value, kLive, "--failback-seconds S",
     "the programme returns once it has been back this long (default 5)"},
    {"--backup", "", Takes::Value, kLive, "--backup FILE|DIR",
     "backup programme from a file or a folder's audio files, in a loop, when\n"
     "no backup ports are connected; a silent backup never replaces a silent\n"
     "programme"},
    {"--preset", "", Takes::OptionalValue, kLive, "--preset FILE",
     "text preset (NAME=VALUE lines); SIGHUP reads it again and applies it\n"
     "from the next block"},
    {"--set", "", Takes::Value, kLive, "--set NAME=VALUE", "set a control, after --preset; repeatable"},
    {"--event-log", "", Takes::Value, kLive, "--event-log FILE",
     "events as JSON lines (start, stop, silence, silence_end, failover,\n"
     "failback, xrun, processor_recovery, processor_bypassed, processor_retry,\n"
     "device_lost, device_regained, configuration_reloaded, ...); default:\n"
     "standard error when it is not a terminal; SIGHUP reopens it"},
    {"--on-event", "", Takes::Value, kLive, "--on-event CMD",
     "run CMD (/bin/sh -c) for each event with its JSON line on standard\n"
     "input; killed after 10 s; failures are logged as event_command_failed"},
    {"--loudness-log", "", Takes::Value, kLive, "--loudness-log FILE",
     "a JSON line per interval: momentary, short-term and integrated loudness\n"
     "of the output, its largest true peak, the input level, each band's\n"
     "median gain, the source on air; SIGHUP reopens it"},
    {"--log-interval", "", Takes::Value, kLive, "--log-interval S", "seconds between loudness lines (default 10)"},
    {"--duration", "", Takes::Value, kLive, "--duration S",
     "stop after S seconds (default: run until SIGTERM or SIGINT)"},
    {"--quiet", "", Takes::Nothing, kLive, "--quiet", "no terminal view (for services)"},
    {"--http", "", Takes::Value, kLive, "--http [ADDR:]PORT",
     "serve the web page and the JSON API (PORT alone: on 127.0.0.1; another\n"
     "address only when given); every request needs the access token"},
    {"--token-file", "", Takes::Value, kLive, "--token-file FILE",
     "the access token, made there (readable by its owner only) when missing\n"
     "(default: $XDG_STATE_HOME/plumbra/token, else ~/.local/state/plumbra/token)"},
    {"--preset-dir", "", Takes::Value, kLive, "--preset-dir DIR",
     "the folder of the presets the web page lists, recalls and saves"},
    {"--allow-host", "", Takes::Value, kLive, "--allow-host NAME",
     "a host name the web page may be reached by besides IP addresses and\n"
     "localhost (for --http on a LAN address); repeatable"},
    {"--target", "", Takes::Value, kAnalyze, "--target T",
     "check each file against a target (name or LUFS): pass, or fail with\n"
     "the reason (loudness outside the tolerance, true peak over the ceiling)"},
    {"--true-peak", "", Takes::Value, kAnalyze, "--true-peak DBTP",
     "with --target: this ceiling instead of the target's own"},
    {"--demo", "", Takes::Nothing, kRenderOne, "", ""},
    {"--help", "-h", Takes::Nothing, 0, "", ""},
    {"--version", "", Takes::Nothing, 0, "", ""},
};

// The sections of --help that describe options: scope, title and a last line.
const std::tuple<unsigned, const char*, const char*> kSections[] = {
    {kRenderOne, "render options:", ""},
    {kRenderBatch, "batch options (render IN... -o DIR):",
     "A single IN OUT render keeps its behaviour: OUT is replaced if it exists."},
    {kAnalyze, "analyze options:", ""},
    {kLive, "live options:", ""},
};

// How each scope, in the order of its bit, is named where an option does not apply to it.
const char* kScopeNames[] = {"render IN OUT (-j, --ext, --overwrite and --skip-existing go with -o DIR)",
                             "render -o (a batch; --plot and --demo take one file)",
                             "analyze",
                             "demo",
                             "params",
                             "info",
                             "live",
                             "targets",
                             "merge-reports"};

const char* kUsage = R"(plumbra: renders audio through the Halvex_Plumbra-Vektis VST 2 plug-in

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
  plumbra live [options]               the processor on air from JACK or ALSA (plumbra live --help)
  plumbra targets                      the delivery targets --target knows
  plumbra merge-reports DIR [--manifest FILE] [--json|--csv]
                                       the reports of render --report-dir DIR as one batch
                                       summary; exit 8 names failed files and, with
                                       --manifest, entries without a report
  plumbra --help | --version

)";

const char* kTrailer = R"(
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
  9  with --target: a file misses the target (loudness outside its tolerance, true peak
     over its ceiling, or more gain needed than --max-gain); a render still writes it. When files also failed (8), 8 is the
     exit code; 7 goes before 9 as well
)";

const char* kLiveUsage = R"(plumbra live: the processor on air by itself, day and night

usage:
  plumbra live [--connect-in A,B] [--connect-out A,B] [options]   a JACK client
  plumbra live --alsa-in DEV --alsa-out DEV [--rate R] [--period N] [options]

)";

const char* kLiveTrailer = R"(
The JACK client has the ports in_left, in_right (the programme), backup_left, backup_right and
out_left, out_right, and reports the processor's delay as their latency. Should the processor's
output turn non-finite, its state is cleared (processor_recovery); after more than three
recoveries within 10 s the programme passes through instead at -6 dB, clipped to full scale
(processor_bypassed), and the processor is tried again after 30 s (processor_retry).
A lost JACK server or ALSA device is retried every 2 s (device_lost, device_regained). Under
systemd (Type=notify) plumbra sends READY=1, STATUS and, while the audio callback advances,
WATCHDOG=1. SIGTERM and SIGINT stop cleanly; SIGHUP re-reads --preset and reopens the logs.
Standard output on a terminal shows the meters unless --quiet.
  plumbra live --connect-in system:capture_1,system:capture_2 \
      --connect-out system:playback_1,system:playback_2 --backup /srv/backup \
      --event-log /var/log/plumbra/events.log --loudness-log /var/log/plumbra/loudness.log
)";

// The row of a long option (--name) or of a one-letter one (-x, by its alias or name).
const OptionRow* find(const std::string& written)
{
    for (const OptionRow& s : kOptions)
        if (written == s.name || written == s.alias) return &s;
    return nullptr;
}

// One "--name[=value]" argument, taking its value from the next argument when due.
Status parseLong(const std::string& arg, int argc, char** argv, int& i, Args& a)
{
    const auto eq = arg.find('=');
    const bool inlineValue = eq != std::string::npos;
    const std::string name = arg.substr(0, eq);
    const OptionRow* row = find(name);
    if (!row) return usage("unknown option " + name);
    std::string value = inlineValue ? arg.substr(eq + 1) : "";
    if (row->takes == Takes::Nothing && inlineValue) return usage(name + " takes no value");
    if (row->takes == Takes::Value && !inlineValue) {
        if (i + 1 >= argc) return usage(name + " needs a value");
        value = argv[++i];
    }
    // An optional value is the next argument unless that is an option itself.
    if (row->takes == Takes::OptionalValue && !inlineValue && i + 1 < argc &&
        std::string(argv[i + 1]).rfind("--", 0) != 0)
        value = argv[++i];
    a.options.push_back({row->name, name, value});
    return Status::success();
}

}  // namespace

Status usage(const std::string& why)
{
    return Status::fail(kExitUsage, why + " (plumbra --help shows the usage)");
}

bool Args::has(const std::string& name) const
{
    return !values(name).empty();
}

std::vector<std::string> Args::values(const std::string& name) const
{
    std::vector<std::string> v;
    for (const auto& o : options)
        if (o.name == name) v.push_back(o.value);
    return v;
}

std::string Args::last(const std::string& name) const
{
    const auto v = values(name);
    return v.empty() ? std::string() : v.back();
}

Result<Args> parseArgs(int argc, char** argv, int first)
{
    Args a;
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        const OptionRow* letter = arg.size() >= 2 && arg[0] == '-' && arg[1] != '-' ? find(arg.substr(0, 2)) : nullptr;
        if (arg.size() > 2 && arg.rfind("--", 0) == 0) {
            Status s = parseLong(arg, argc, argv, i, a);
            if (!s.ok()) return s;
        } else if (letter && letter->takes == Takes::Value) {
            // -o DIR, -oDIR, -j 4, -j4
            const std::string written = arg.substr(0, 2);
            if (arg.size() == 2 && i + 1 >= argc) return usage(written + " needs a value");
            a.options.push_back({letter->name, written, arg.size() == 2 ? argv[++i] : arg.substr(2)});
        } else if (letter && arg.size() == 2) {
            a.options.push_back({letter->name, arg, ""});
        } else {
            a.positional.push_back(arg);
        }
    }
    return a;
}

Status checkAllowed(const Args& args, Scope scope)
{
    for (const auto& o : args.options) {
        bool allowed = false;
        for (const OptionRow& s : kOptions) allowed = allowed || (o.name == s.name && (s.scopes & scope));
        if (!allowed)
            return usage(o.typed + " does not apply to plumbra " + kScopeNames[std::countr_zero(unsigned(scope))]);
    }
    return Status::success();
}

namespace {

// The sections of --help for the scopes in `only`.
std::string optionsHelp(unsigned only)
{
    std::string out;
    for (const auto& [scope, title, note] : kSections) {
        if (!(scope & only)) continue;
        out += std::string(scope == kRenderOne || only == kLive ? "" : "\n") + title + "\n";
        for (const OptionRow& s : kOptions) {
            const unsigned described = s.scopes & kRenderOne     ? kRenderOne
                                       : s.scopes & kRenderBatch ? kRenderBatch
                                       : s.scopes & kAnalyze     ? kAnalyze
                                                                 : s.scopes & kLive;
            if (described != scope || !*s.label) continue;
            std::string help = s.help, label = s.label;
            if (label.size() > 20) {  // a long label stands on a line of its own
                out += "  " + label + "\n";
                label.clear();
            }
            for (size_t at = 0, end; at < help.size(); at = end + 1, label.clear()) {
                end = help.find('\n', at);
                if (end == std::string::npos) end = help.size();
                out += "  " + label + std::string(21 - label.size(), ' ') + help.substr(at, end - at) + "\n";
            }
        }
        if (*note) out += std::string("  ") + note + "\n";
    }
    return out;
}

}  // namespace

std::string helpText()
{
    return kUsage + optionsHelp(kRenderOne | kRenderBatch | kAnalyze) + kTrailer;
}

std::string liveHelpText()
{
    return std::string(kLiveUsage) + optionsHelp(kLive) + kLiveTrailer;
}

namespace {

// A line of text for roff: backslashes and hyphens escaped (a hyphen in an option
// is a minus sign to man), a leading dot or quote kept from reading as a request.
std::string roff(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    return !out.empty() && (out[0] == '.' || out[0] == '\'') ? "\\&" + out : out;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string trimmed(const std::string& s)
{
    const auto a = s.find_first_not_of(' ');
    return a == std::string::npos ? "" : s.substr(a, s.find_last_not_of(' ') - a + 1);
}

// The usage text: its first line "plumbra: what it does" names the page; each
// "  plumbra ..." line is a form of the command, its description after two spaces
// or on the lines below.
std::string manHead(const std::string& name, const std::string& usage, const std::string& version,
                    std::string& commands)
{
    const auto all = lines(usage);
    const std::string title = all.at(0).substr(all[0].find(": ") + 2);
    // Descriptions start in the column of the lines that continue them (else after two spaces).
    size_t column = 0;
    for (const std::string& l : all)
        if (l.rfind("    ", 0) == 0 && !trimmed(l).empty()) column = column ? column : l.find_first_not_of(' ');
    std::vector<std::pair<std::string, std::string>> forms;
    for (size_t i = 1; i < all.size(); ++i) {
        const std::string& l = all[i];
        if (l.rfind("  plumbra", 0) == 0) {
            const auto gap = column && l.size() > column && l[column - 1] == ' ' ? column
                             : column && l.size() <= column                      ? std::string::npos
                                                                                 : l.find("  ", 2);
            forms.emplace_back(trimmed(l.substr(0, gap)), gap == std::string::npos ? "" : trimmed(l.substr(gap)));
        } else if (!trimmed(l).empty() && !forms.empty() && l.rfind("    ", 0) == 0) {
            forms.back().second += (forms.back().second.empty() ? "" : " ") + trimmed(l);
        }
    }
    std::string upper;
    for (char c : name) upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    std::string out = ".TH " + roff(upper) + " 1 \"\" \"plumbra " + roff(version) + "\" \"User Commands\"\n";
    out += ".SH NAME\n" + roff(name) + " \\- " + roff(title) + "\n.SH SYNOPSIS\n.nf\n";
    for (const auto& [form, what] : forms) out += roff(form) + "\n";
    out += ".fi\n";
    for (const auto& [form, what] : forms)
        if (!what.empty()) commands += ".TP\n.B " + roff(form) + "\n" + roff(what) + "\n";
    return out;
}

// The options of the scopes in `only`, a subsection per section of --help.
std::string manOptions(unsigned only)
{
    std::string out = ".SH OPTIONS\n";
    for (const auto& [scope, title, note] : kSections) {
        if (!(scope & only)) continue;
        std::string t = title;
        out += ".SS " + roff(t.substr(0, t.size() - 1)) + "\n";
        for (const OptionRow& s : kOptions) {
            const unsigned described = s.scopes & kRenderOne     ? kRenderOne
                                       : s.scopes & kRenderBatch ? kRenderBatch
                                       : s.scopes & kAnalyze     ? kAnalyze
                                                                 : s.scopes & kLive;
            if (described != scope || !*s.label) continue;
            out += ".TP\n.B " + roff(s.label) + "\n";
            for (const std::string& l : lines(s.help)) out += roff(l) + "\n";
        }
        if (*note) out += ".PP\n" + roff(note) + "\n";
    }
    return out;
}

// The text after the options: paragraphs, indented examples, and the exit codes
// ("  N  what", continued on lines indented further).
struct ManTail {
    std::string description, examples, exitStatus;
};

ManTail manTail(const std::string& trailer)
{
    ManTail t;
    bool inCodes = false;
    for (const std::string& l : lines(trailer)) {
        if (trimmed(l).empty()) continue;
        if (l == "exit codes:") {
            inCodes = true;
        } else if (inCodes) {
            const std::string text = trimmed(l);
            const auto gap = text.find("  ");
            if (l.rfind("  ", 0) == 0 && l[2] != ' ' && gap != std::string::npos)
                t.exitStatus += ".TP\n.B " + roff(text.substr(0, gap)) + "\n" + roff(trimmed(text.substr(gap))) + "\n";
            else
                t.exitStatus += roff(text) + "\n";
        } else if (l.rfind("  ", 0) == 0) {
            t.examples += roff(l.substr(2)) + "\n";
        } else {
            t.description += roff(l) + "\n";
        }
    }
    if (!t.description.empty()) t.description = ".SH DESCRIPTION\n" + t.description;
    if (!t.examples.empty()) t.examples = ".SH EXAMPLES\n.nf\n" + t.examples + ".fi\n";
    if (!t.exitStatus.empty()) t.exitStatus = ".SH EXIT STATUS\n" + t.exitStatus;
    return t;
}

}  // namespace

std::string manPage(const std::string& version)
{
    std::string commands;
    const std::string head = manHead("plumbra", kUsage, version, commands);
    const ManTail tail = manTail(kTrailer);
    return head + tail.description + ".SH COMMANDS\n" + commands + manOptions(kRenderOne | kRenderBatch | kAnalyze) +
           tail.examples + tail.exitStatus + ".SH SEE ALSO\n.BR plumbra\\-live (1)\n";
}

std::string liveManPage(const std::string& version)
{
    std::string commands;
    const std::string head = manHead("plumbra-live", kLiveUsage, version, commands);
    const ManTail tail = manTail(kLiveTrailer);
    return head + tail.description + (commands.empty() ? "" : ".SH COMMANDS\n" + commands) + manOptions(kLive) +
           tail.examples + tail.exitStatus + ".SH SEE ALSO\n.BR plumbra (1)\n";
}

}  // namespace plumbra::host
