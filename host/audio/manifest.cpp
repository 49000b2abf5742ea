// Manifests and shards.
#include "host/audio/manifest.h"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "host/common/json.h"
#include "host/common/text.h"

namespace plumbra::host {

namespace fs = std::filesystem;

namespace {

// A path that stays below its folder: relative, and no ".." leading out of it.
bool staysBelow(const fs::path& p)
{
    if (p.empty() || p.is_absolute() || p.has_root_name()) return false;
    const fs::path n = p.lexically_normal();
    return !n.empty() && *n.begin() != ".." && n != ".";
}

// A JSON value of a "set" member as the control's text: numbers as written, switches on/off.
Result<std::string> settingText(const std::string& name, const Json& v)
{
    if (v.is_string()) return v.get<std::string>();
    if (v.is_boolean()) return std::string(v.get<bool>() ? "on" : "off");
    if (v.is_number()) return v.dump();
    return Status::fail(kExitUsage, "\"set\": " + name + " wants a number, a text or true/false");
}

// The settings of a JSON line into `in`; the reason when the line is not one.
Status readJsonLine(const std::string& line, const fs::path& folder, BatchInput& in)
{
    const Json j = Json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return Status::fail(kExitUsage, "not a JSON object");
    for (const auto& [key, v] : j.items()) {
        if (key == "in" || key == "out" || key == "preset") {
            if (!v.is_string() || v.get_ref<const std::string&>().empty())
                return Status::fail(kExitUsage, "\"" + key + "\" wants a path");
        } else if (key == "target") {
            if (!v.is_string() && !v.is_number()) return Status::fail(kExitUsage, "\"target\" wants a name or LUFS");
            in.target = v.is_string() ? v.get<std::string>() : v.dump();
        } else if (key == "set") {
            if (!v.is_object()) return Status::fail(kExitUsage, "\"set\" wants an object of NAME: VALUE");
            for (const auto& [name, value] : v.items()) {
                auto text = settingText(name, value);
                if (!text.ok()) return text.status();
                in.sets.push_back(name + "=" + text.value());
            }
        } else {
            return Status::fail(kExitUsage, "unknown member \"" + key + "\" (in, out, target, preset, set)");
        }
    }
    if (!j.contains("in")) return Status::fail(kExitUsage, "no \"in\"");
    in.entry = j["in"].get<std::string>();
    if (j.contains("out")) {
        in.output = j["out"].get<std::string>();
        const fs::path out(in.output);
        if (!out.is_absolute() && !staysBelow(out))
            return Status::fail(kExitUsage, "\"out\" " + in.output + " leads out of the output folder");
    }
    if (j.contains("preset")) {
        const fs::path preset(j["preset"].get<std::string>());
        in.preset = (preset.is_absolute() ? preset : folder / preset).string();
    }
    return Status::success();
}

}  // namespace

Result<std::vector<BatchInput>> readManifest(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) return Status::fail(kExitInput, "cannot read the manifest " + path);
    const fs::path folder = fs::path(path).parent_path();
    std::error_code ec;
    const fs::path absoluteFolder = fs::absolute(folder.empty() ? fs::path(".") : folder, ec).lexically_normal();
    std::vector<BatchInput> out;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        line = trim(line);
        if (line.empty() || line[0] == '#') continue;
        BatchInput in;
        if (line[0] == '{') {
            Status s = readJsonLine(line, folder, in);
            if (!s.ok()) return Status::fail(kExitUsage, path + ":" + std::to_string(number) + ": " + s.reason);
        } else {
            in.entry = line;
        }
        const fs::path named(in.entry);
        in.path = (named.is_absolute() ? named : folder / named).string();
        // Its place below the output folder: the path below the manifest's folder.
        const fs::path below = named.is_absolute() ? named.lexically_normal().lexically_relative(absoluteFolder)
                                                   : named.lexically_normal();
        in.relative = staysBelow(below) ? below.generic_string() : named.filename().string();
        out.push_back(in);
    }
    if (file.bad()) return Status::fail(kExitInput, "cannot read the manifest " + path);
    return out;
}

void probeInputs(std::vector<BatchInput>& inputs)
{
    for (auto& in : inputs)
        if (Status s = probeInput(in); !s.ok()) in.problem = s.reason;
}

namespace {

// A whole decimal number from `lo` up, or false.
bool wholeNumber(const char* text, long lo, long& out)
{
    if (!text || !*text) return false;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (*end != '\0' || v < lo || v > INT_MAX) return false;
    out = v;
    return true;
}

}  // namespace

Result<Shard> parseShard(const std::string& given, const std::string& shards,
                         const std::function<const char*(const char*)>& env)
{
    long k = 0, n = 0;
    if (given != "auto") {
        const auto slash = given.find('/');
        if (!shards.empty()) return Status::fail(kExitUsage, "--shards goes with --shard auto; --shard K/N names N itself");
        if (slash == std::string::npos || !wholeNumber(given.substr(0, slash).c_str(), 0, k) ||
            !wholeNumber(given.substr(slash + 1).c_str(), 1, n))
            return Status::fail(kExitUsage, "--shard wants K/N (0 <= K < N) or auto, not \"" + given + "\"");
        if (k >= n) return Status::fail(kExitUsage, "--shard " + given + ": K must be below N (shards count from 0)");
        return Shard{static_cast<int>(k), static_cast<int>(n)};
    }
    if (!shards.empty() && !wholeNumber(shards.c_str(), 1, n))
        return Status::fail(kExitUsage, "--shards wants a count from 1, not \"" + shards + "\"");
    auto variable = [&](const char* name, long& value) -> Status {
        if (wholeNumber(env(name), 0, value)) return Status::success();
        return Status::fail(kExitUsage, std::string("--shard auto: ") + name + " is \"" + (env(name) ? env(name) : "") +
                                            "\", not a whole number");
    };
    Status s;
    if (env("SLURM_ARRAY_TASK_ID")) {
        long id = 0, first = 0, count = 0;
        s = variable("SLURM_ARRAY_TASK_ID", id);
        if (s.ok() && shards.empty()) s = variable("SLURM_ARRAY_TASK_MIN", first);
        if (s.ok() && shards.empty()) s = variable("SLURM_ARRAY_TASK_COUNT", count);
        if (!s.ok()) return s;
        k = id - first;
        if (shards.empty()) n = count;
        if (k < 0 || k >= n)
            return Status::fail(kExitUsage, "--shard auto: Slurm array task " + std::to_string(id) + " is not one of " +
                                                std::to_string(n) + " shards" +
                                                (shards.empty() ? "" : " (with --shards, tasks are numbered from 0)"));
        return Shard{static_cast<int>(k), static_cast<int>(n)};
    }
    if (env("JOB_COMPLETION_INDEX")) {
        if (shards.empty())
            return Status::fail(kExitUsage, "--shard auto in a Kubernetes Indexed Job wants --shards N (the Job's "
                                            "completions): JOB_COMPLETION_INDEX gives only K");
        s = variable("JOB_COMPLETION_INDEX", k);
        if (!s.ok()) return s;
        if (k >= n)
            return Status::fail(kExitUsage, "--shard auto: JOB_COMPLETION_INDEX " + std::to_string(k) +
                                                " is not below --shards " + std::to_string(n));
        return Shard{static_cast<int>(k), static_cast<int>(n)};
    }
    return Status::fail(kExitUsage, "--shard auto finds neither a Slurm job array (SLURM_ARRAY_TASK_ID) nor a Kubernetes "
                                    "Indexed Job (JOB_COMPLETION_INDEX); give --shard K/N");
}

std::vector<BatchInput> takeShard(std::vector<BatchInput> inputs, const Shard& s)
{
    std::vector<BatchInput> taken;
    for (size_t i = static_cast<size_t>(s.index); i < inputs.size(); i += static_cast<size_t>(s.count))
        taken.push_back(std::move(inputs[i]));
    return taken;
}

}  // namespace plumbra::host
