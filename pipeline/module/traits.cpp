#include "ambrevo/pipeline/module/traits.h"

#include <algorithm>

namespace {

std::string text(const char* s) { return s ? s : ""; }

ProcedureTraits fromRecord(const ambrevo_traits& r) {
    ProcedureTraits t;
    t.name = text(r.name);
    t.area = r.columns & AMBREVO_COLUMNS_AREA;
    t.motion = r.columns & AMBREVO_COLUMNS_MOTION;
    t.shapes = r.flags & AMBREVO_TRAIT_SHAPES;
    t.posture = r.flags & AMBREVO_TRAIT_POSTURE;
    t.luma = r.flags & AMBREVO_TRAIT_LUMA;
    t.isDefault = r.flags & AMBREVO_TRAIT_DEFAULT;
    t.countSetting = text(r.count_setting);
    t.nothingFound = text(r.nothing_found);
    for (int i = 0; i < r.counter_count && r.counters; ++i) {
        const ambrevo_counter_trait& c = r.counters[i];
        t.counters.push_back({text(c.name), text(c.hint), text(c.remark), text(c.remark_found),
                              !(c.flags & AMBREVO_COUNTER_UNRECORDED), bool(c.flags & AMBREVO_COUNTER_LEARNING)});
    }
    return t;
}

// The traits of the registered procedure `name`; a failure when the module does not know it.
Expected<ProcedureTraits> traitsOf(const Module& module, const std::string& name) {
    ambrevo_traits record{};
    if (module.procedureTraits(name.c_str(), &record, int32_t(sizeof record)) != AMBREVO_OK)
        return Failure{RunError::module, "the module tells nothing of the procedure '" + name + "'"};
    return fromRecord(record);
}

}  // namespace

Expected<ProcedureTraits> readTraits(const Module& module, const std::string& procedure) {
    ProcedureTraits traits;
    traits.name = procedure;
    if (!module.procedureTraits) {
        traits.isDefault = procedure.empty();
        return traits;
    }
    if (!procedure.empty()) return traitsOf(module, procedure);
    for (int i = 0; module.procedureName; ++i) {
        const char* name = module.procedureName(i);
        if (!name) break;
        Expected<ProcedureTraits> candidate = traitsOf(module, name);
        if (!candidate || candidate->isDefault) return candidate;
    }
    traits.isDefault = true;
    return traits;
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
