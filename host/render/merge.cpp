// merge-reports: the per-file reports that --report-dir leaves (one run's, or the
// shards' of a cluster job) read back into one batch report, printed as render -o
// prints its own.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "host/audio/file_io.h"
#include "host/render/batch.h"

namespace plumbra::host {

namespace fs = std::filesystem;

namespace {

// Every *.json below `folder`, in name order.
std::vector<std::string> reportFiles(const std::string& folder)
{
    std::vector<std::string> found;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".json" && it->path().filename().string()[0] != '.' && it->is_regular_file(ec))
            found.push_back(it->path().generic_string());
    std::sort(found.begin(), found.end());
    return found;
}

Json unreadable(const std::string& path, const std::string& why)
{
    return {{"status", "failed"}, {"input", {{"file", path}}}, {"output", {{"file", ""}}}, {"reason", why}};
}

Json summaryOf(const Json& files)
{
    size_t rendered = 0, skipped = 0, failed = 0, missing = 0, missed = 0;
    double seconds = 0, audio = 0;
    std::set<std::string> hosts;
    Json target;
    for (const auto& f : files) {
        const std::string status = f["status"].get<std::string>();
        rendered += status == "ok";
        skipped += status == "skipped";
        failed += status == "failed" || status == "non-finite";
        missing += status == "missing";
        if (f.contains("seconds")) seconds += numberOf(f["seconds"]);
        if (f.contains("host")) hosts.insert(f["host"].get<std::string>());
        if (f["input"].contains("loudness")) audio += numberOf(f["input"]["loudness"]["duration_s"]);
        if (f.contains("delivery")) {
            if (target.is_null()) target = f["delivery"]["target"];
            missed += f["delivery"]["compliance"]["status"] == "fail";
        }
    }
    Json s = {{"files", files.size()}, {"rendered", rendered}, {"skipped", skipped}, {"failed", failed},
              {"missing", missing},    {"hosts", hosts.size()}, {"elapsed_s", seconds}, {"audio_s", audio}};
    if (!target.is_null()) {
        s["target"] = target;
        s["missed_target"] = missed;
    }
    return s;
}

std::string csvField(const std::string& s)
{
    if (s.find_first_of(",\"\n") == std::string::npos) return s;
    std::string q = "\"";
    for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

std::string csv(const Json& report)
{
    std::string out = "file,status,output,input_integrated_lufs,output_integrated_lufs,output_true_peak_dbtp,"
                      "speed_x_realtime,seconds,host,target,reason\n";
    auto number = [](const Json& at, const char* key) {
        return at.is_object() && at.contains(key) ? numberText(key, at[key], "-inf") : std::string();
    };
    for (const auto& f : report["files"]) {
        const Json in = f["input"].value("loudness", Json()), outLoudness = f["output"].value("loudness", Json());
        out += csvField(f["input"]["file"].get<std::string>()) + "," + f["status"].get<std::string>() + "," +
               csvField(f["output"].value("file", "")) + "," + number(in, "integrated_lufs") + "," +
               number(outLoudness, "integrated_lufs") + "," + number(outLoudness, "true_peak_dbtp") + "," +
               number(f, "speed_x_realtime") + "," + number(f, "seconds") + "," + csvField(f.value("host", "")) + "," +
               (f.contains("delivery") ? f["delivery"]["compliance"]["status"].get<std::string>() : "") + "," +
               csvField(f.value("reason", "")) + "\n";
    }
    return out;
}

}  // namespace

Status runMergeReports(const MergeOptions& o)
{
    std::error_code ec;
    if (!fs::is_directory(fs::path(o.folder), ec)) return Status::fail(kExitInput, "no report folder " + o.folder);
    Json files = Json::array();
    for (const auto& path : reportFiles(o.folder)) {
        std::ifstream in(path, std::ios::binary);
        Json j = Json::parse(in, nullptr, false);
        if (j.is_discarded() || !j.is_object() || !j.contains("status") || !j["status"].is_string() ||
            !j.contains("input") || !j["input"].is_object() || !j["input"].contains("file"))
            j = unreadable(path, "not a report of plumbra render --report-dir");
        if (!j.contains("output") || !j["output"].is_object()) j["output"] = {{"file", ""}};
        files.push_back(std::move(j));
    }
    if (!o.manifest.empty()) {
        // In the manifest's order: each entry with its report, or missing; reports of
        // files the manifest does not name come after.
        auto listed = readManifest(o.manifest);
        if (!listed.ok()) return listed.status();
        std::map<std::string, size_t> byEntry;
        for (size_t i = 0; i < files.size(); ++i)
            if (files[i].contains("manifest_entry")) byEntry.emplace(files[i]["manifest_entry"].get<std::string>(), i);
        std::vector<char> used(files.size(), 0);
        Json ordered = Json::array();
        for (const auto& entry : listed.value()) {
            auto at = byEntry.find(entry.entry);
            size_t found = at != byEntry.end() ? at->second : files.size();
            for (size_t i = 0; found == files.size() && i < files.size(); ++i)
                if (!used[i] && sameFile(files[i]["input"]["file"].get<std::string>(), entry.path)) found = i;
            if (found < files.size() && !used[found]) {
                used[found] = 1;
                ordered.push_back(files[found]);
            } else {
                ordered.push_back({{"status", "missing"}, {"input", {{"file", entry.path}}}, {"output", {{"file", ""}}},
                                   {"reason", "no report"}});
            }
        }
        for (size_t i = 0; i < files.size(); ++i)
            if (!used[i]) ordered.push_back(files[i]);
        files = std::move(ordered);
    }
    if (files.empty()) return Status::fail(kExitInput, "no reports in " + o.folder);

    Json report = {{"files", files}, {"summary", summaryOf(files)}};
    if (o.format == AnalyzeFormat::Json)
        std::fputs(writeJson(report).c_str(), stdout);
    else if (o.format == AnalyzeFormat::Csv)
        std::fputs(csv(report).c_str(), stdout);
    else
        std::fputs(batchTable(report).c_str(), stdout);

    std::string list;
    size_t bad = 0;
    for (const auto& f : files) {
        const std::string status = f["status"].get<std::string>();
        if (status == "failed" || status == "non-finite" || status == "missing")
            list += (bad++ ? ", " : "") + f["input"]["file"].get<std::string>() +
                    (status == "missing" ? " (no report)" : " (" + status + ")");
    }
    if (bad > 0)
        return Status::fail(kExitSomeFailed, std::to_string(bad) + " of " + std::to_string(files.size()) +
                                                 " files failed or have no report: " + list);
    return Status::success();
}

}  // namespace plumbra::host
