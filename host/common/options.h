// The command line: one table of options says how each is written, which
// commands take it and how --help describes it; parsing, the check of what a
// command allows and the help text all come from it.
#pragma once

#include <string>
#include <vector>

#include "host/common/status.h"

namespace plumbra::host {

// What an option applies to; a command checks the options given against its own.
// kRenderOne is render IN OUT and render --demo OUT, kRenderBatch render IN... -o DIR.
enum Scope : unsigned {
    kRenderOne = 1,
    kRenderBatch = 2,
    kAnalyze = 4,
    kDemo = 8,
    kParams = 16,
    kInfo = 32,
    kLive = 64,
    kTargets = 128,
    kMergeReports = 256
};

struct Option {
    std::string name;   // as the table names it, e.g. "--jobs" for "-j" too
    std::string typed;  // as the user wrote it, for messages
    std::string value;  // "" for flags and an absent optional value
};

struct Args {
    std::vector<std::string> positional;
    std::vector<Option> options;  // in the order given

    bool has(const std::string& name) const;
    std::vector<std::string> values(const std::string& name) const;
    std::string last(const std::string& name) const;  // "" when not given
};

// Parses everything after the command. Unknown options, a missing value and a
// value given to a flag are usage errors.
Result<Args> parseArgs(int argc, char** argv, int first);

// A usage error for each option that the scope does not take.
Status checkAllowed(const Args& args, Scope scope);

// A failure of the command line (exit code 2), pointing at --help.
Status usage(const std::string& why);

std::string helpText();
std::string liveHelpText();  // plumbra live --help

// The manual pages plumbra(1) and plumbra-live(1) in roff, made from the same
// table and texts as --help (plumbra --help-man [live], which the build runs).
std::string manPage(const std::string& version);
std::string liveManPage(const std::string& version);

}  // namespace plumbra::host
