#include "ambrevo/pipeline/module/traits.h"

#include <algorithm>

namespace {

std::string text(const char* s) { return s ? s : ""; }

ProcedureTraits fromRecord(const ip_procedureTraits& r) {
    ProcedureTraits t;
    t.name = text(r.name);
    t.area = r.columns & ip_columnsArea;
    t.motion = r.columns & ip_columnsMotion;
    t.shapes = r.flags & ip_traitShapes;
    t.posture = r.flags & ip_traitPosture;
    t.luma = r.flags & ip_traitLuma;
    t.isDefault = r.flags & ip_traitDefault;
    t.countSetting = text(r.countSetting);
    t.nothingFound = text(r.nothingFound);
    for (int i = 0; i < r.counterCount && r.counters; ++i) {
        const ip_counterTrait& c = r.counters[i];
        t.counters.push_back({text(c.name), text(c.hint), text(c.remark), text(c.remarkFound),
                              !(c.flags & ip_counterUnrecorded)});
    }
    return t;
}

// The traits of the registered procedure `name`; false when the module does not know it.
bool traitsOf(const Module& module, const std::string& name, ProcedureTraits& traits, std::string& error) {
    ip_procedureTraits record{};
    int known = 0;
    if (!guarded([&] { known = module.procedureTraits(name.c_str(), &record, int(sizeof record)); }, error))
        return false;
    if (!known) {
        error = "the module tells nothing of the procedure '" + name + "'";
        return false;
    }
    traits = fromRecord(record);
    return true;
}

}  // namespace

bool readTraits(const Module& module, const std::string& procedure, ProcedureTraits& traits, std::string& error) {
    traits = ProcedureTraits{};
    traits.name = procedure;
    if (!module.procedureTraits) {
        traits.isDefault = procedure.empty();
        return true;
    }
    if (!procedure.empty()) return traitsOf(module, procedure, traits, error);
    for (int i = 0; module.procedureName; ++i) {
        const char* name = nullptr;
        if (!guarded([&] { name = module.procedureName(i); }, error)) return false;
        if (!name) break;
        ProcedureTraits candidate;
        if (!traitsOf(module, name, candidate, error)) return false;
        if (candidate.isDefault) return traits = std::move(candidate), true;
    }
    traits.isDefault = true;
    return true;
}

std::string fillRemark(const std::string& text, int64_t count, int64_t frames,
                       const std::vector<std::pair<std::string, std::string>>& settings) {
    std::string out;
    for (size_t at = 0; at < text.size();) {
        const size_t open = text.find('{', at), close = open == std::string::npos ? open : text.find('}', open);
        if (close == std::string::npos) return out + text.substr(at);
        out += text.substr(at, open - at);
        const std::string key = text.substr(open + 1, close - open - 1);
        at = close + 1;
        if (key == "count" || key == "frames") {
            out += std::to_string(key == "count" ? count : frames);
            continue;
        }
        if (!key.starts_with("setting:")) return "";
        const auto found = std::find_if(settings.begin(), settings.end(),
                                        [&](const auto& s) { return s.first == key.substr(8); });
        if (found == settings.end()) return "";
        out += found->second;
    }
    return out;
}
