#include "batch_record.h"

#include <fstream>
#include <nlohmann/json.hpp>

#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/core/text/numbers.h"
#include "batch_folder.h"

using Json = nlohmann::ordered_json;

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
    if (o.scale > 0) r.emplace_back("--scale", ambrevo::text::shortest(o.scale) + " " + o.unit);
    if (o.fps > 0) r.emplace_back("--fps", ambrevo::text::shortest(o.fps));
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

namespace {

// The largest record read: a few kilobytes per input, so this is far beyond any batch.
constexpr long long kLargestRecord = 256LL << 20;

Json requestJson(const Request& request) {
    Json out = Json::object();
    for (const auto& [key, value] : request) out[key] = value;
    return out;
}

Json outputsJson(const std::map<std::string, std::string>& outputs) {
    Json out = Json::object();
    for (const auto& [option, path] : outputs) out[option] = path;
    return out;
}

std::optional<RecordedRun> runOf(const Json& entry) {
    if (!entry.is_object() || !entry.contains("request") || !entry.contains("outputs")) return std::nullopt;
    RecordedRun run;
    for (const auto& [key, value] : entry["request"].items())
        if (value.is_string()) run.request.emplace_back(key, value.get<std::string>());
    for (const auto& [option, path] : entry["outputs"].items())
        if (path.is_string()) run.outputs[option] = path.get<std::string>();
    return run;
}

std::optional<Claim> claimOf(const Json& entry) {
    if (!entry.is_object() || !entry.contains("running")) return std::nullopt;
    const Json& running = entry["running"];
    const std::optional<RecordedRun> run = runOf(running);
    if (!run || !running.contains("batch") || !running["batch"].is_string() || !running.contains("tracks") ||
        !running["tracks"].is_string())
        return std::nullopt;
    return Claim{running["batch"].get<std::string>(), *run, running["tracks"].get<std::string>()};
}

}  // namespace

Outcome BatchRecord::load() {
    runs_.clear();
    const Expected<std::string> text = readSmallFile(file_, "batch record", kLargestRecord);
    if (!text) return text.error();
    seen_ = fileIdentity(file_);
    const Json all = Json::parse(*text, nullptr, false);
    if (!all.is_object() || !all.contains("inputs") || !all["inputs"].is_object()) return {};
    for (const auto& [input, entry] : all["inputs"].items()) {
        Entry e{runOf(entry), claimOf(entry)};
        if (e.made || e.claim) runs_[input] = std::move(e);
    }
    return {};
}

bool BatchRecord::changed() const { return fileIdentity(file_) != seen_; }

const RecordedRun* BatchRecord::find(const std::string& input) const {
    const auto found = runs_.find(input);
    return found == runs_.end() || !found->second.made ? nullptr : &*found->second.made;
}

const Claim* BatchRecord::claim(const std::string& input) const {
    const auto found = runs_.find(input);
    return found == runs_.end() || !found->second.claim ? nullptr : &*found->second.claim;
}

void BatchRecord::made(const std::string& input, const Request& request,
                       const std::vector<std::pair<std::string, std::string>>& outputs) {
    Entry& entry = runs_[input];
    if (!entry.made || entry.made->request != request) entry.made = RecordedRun{request, {}};
    for (const auto& [option, path] : outputs) entry.made->outputs[option] = path;
    entry.claim.reset();
}

void BatchRecord::begin(const std::string& input, const Claim& claim) { runs_[input].claim = claim; }

void BatchRecord::release(const std::string& input) {
    const auto found = runs_.find(input);
    if (found == runs_.end()) return;
    found->second.claim.reset();
    if (!found->second.made) runs_.erase(found);
}

void BatchRecord::settle(const std::function<bool(const std::string& batch)>& alive,
                         const std::function<std::string(const std::string& file)>& identity) {
    std::vector<std::string> dead;
    for (const auto& [input, entry] : runs_)
        if (entry.claim && !alive(entry.claim->batch)) dead.push_back(input);
    for (const std::string& input : dead) {
        const Claim claim = *runs_[input].claim;
        const auto tracks = claim.run.outputs.find("--tracks");
        if (tracks != claim.run.outputs.end() && identity(tracks->second) != claim.tracks)
            made(input, claim.run.request, {claim.run.outputs.begin(), claim.run.outputs.end()});
        else
            release(input);
    }
}

Outcome BatchRecord::save() {
    Json inputs = Json::object();
    for (const auto& [input, entry] : runs_) {
        Json e = Json::object();
        if (entry.made) e["request"] = requestJson(entry.made->request), e["outputs"] = outputsJson(entry.made->outputs);
        if (entry.claim)
            e["running"] = Json{{"batch", entry.claim->batch},
                                {"request", requestJson(entry.claim->run.request)},
                                {"outputs", outputsJson(entry.claim->run.outputs)},
                                {"tracks", entry.claim->tracks}};
        inputs[input] = std::move(e);
    }
    const Outcome saved = writeWholeFile(
        file_, "batch record", Json{{"inputs", inputs}}.dump(1, ' ', false, Json::error_handler_t::replace) + "\n");
    seen_ = fileIdentity(file_);
    return saved;
}
