#include "batch_record.h"

#include <charconv>
#include <fstream>
#include <nlohmann/json.hpp>

#include "files.h"

using Json = nlohmann::ordered_json;

namespace {

std::string shortest(double v) {
    char text[32];
    auto [end, ec] = std::to_chars(text, text + sizeof text, v);
    return ec == std::errc() ? std::string(text, end) : std::string();
}

}  // namespace

Request batchRequest(const Options& o, const std::vector<SettingInfo>& settings, const std::string& version) {
    Request r{{"procedure", o.procedure}, {"module version", version}};
    for (const SettingInfo& s : settings) r.emplace_back("setting " + s.name, formatSetting(s.type, s.value));
    r.emplace_back("pixels", o.grey ? "grey" : "bgr");
    r.emplace_back("--start", std::to_string(o.start));
    if (o.end >= 0) r.emplace_back("--end", std::to_string(o.end));
    if (o.frames >= 0) r.emplace_back("--frames", std::to_string(o.frames));
    for (size_t i = 0; i < o.rois.size(); ++i) r.emplace_back("--roi " + std::to_string(i + 1), o.rois[i]);
    std::string animals;
    for (int64_t n : o.animals) animals += (animals.empty() ? "" : ",") + std::to_string(n);
    if (!animals.empty()) r.emplace_back("--animals", animals);
    if (!o.link.empty()) r.emplace_back("--link", o.link);
    if (o.scale > 0) r.emplace_back("--scale", shortest(o.scale) + " " + o.unit);
    if (o.fps > 0) r.emplace_back("--fps", shortest(o.fps));
    for (size_t i = 0; i < o.clicks.size(); ++i) {
        const ClickOption& c = o.clicks[i];
        r.emplace_back("--click " + std::to_string(i + 1),
                       std::to_string(c.frame) + ":" + std::to_string(c.x) + ":" + std::to_string(c.y));
    }
    return r;
}

std::string requestDifference(const Request& before, const Request& now) {
    auto valueIn = [](const Request& r, const std::string& key) {
        for (const auto& [k, v] : r)
            if (k == key) return v;
        return std::string("(none)");
    };
    // In the order of the call, then what only the record has.
    Request keys = now;
    keys.insert(keys.end(), before.begin(), before.end());
    for (const auto& [key, unused] : keys) {
        const std::string was = valueIn(before, key), is = valueIn(now, key);
        if (was != is) return key + ": " + was + " before, " + is + " now";
    }
    return {};
}

void BatchRecord::load() {
    runs_.clear();
    std::ifstream in(file_, std::ios::binary);
    const Json all = Json::parse(in, nullptr, false);
    if (!all.is_object() || !all.contains("inputs") || !all["inputs"].is_object()) return;
    for (const auto& [input, entry] : all["inputs"].items()) {
        if (!entry.is_object() || !entry.contains("request") || !entry.contains("outputs")) continue;
        RecordedRun run;
        for (const auto& [key, value] : entry["request"].items())
            if (value.is_string()) run.request.emplace_back(key, value.get<std::string>());
        for (const auto& [option, path] : entry["outputs"].items())
            if (path.is_string()) run.outputs[option] = path.get<std::string>();
        runs_[input] = std::move(run);
    }
}

const RecordedRun* BatchRecord::find(const std::string& input) const {
    const auto found = runs_.find(input);
    return found == runs_.end() ? nullptr : &found->second;
}

void BatchRecord::made(const std::string& input, const Request& request,
                       const std::vector<std::pair<std::string, std::string>>& outputs) {
    RecordedRun& run = runs_[input];
    if (run.request != request) run = RecordedRun{request, {}};
    for (const auto& [option, path] : outputs) run.outputs[option] = path;
}

bool BatchRecord::save(std::string& error) const {
    Json inputs = Json::object();
    for (const auto& [input, run] : runs_) {
        Json request = Json::object(), outputs = Json::object();
        for (const auto& [key, value] : run.request) request[key] = value;
        for (const auto& [option, path] : run.outputs) outputs[option] = path;
        inputs[input] = Json{{"request", request}, {"outputs", outputs}};
    }
    PendingFile file;
    return file.create(file_, "batch record", error) &&
           writeText(file, Json{{"inputs", inputs}}.dump(1, ' ', false, Json::error_handler_t::replace) + "\n", error);
}
