#include "ambrevo/pipeline/module/settings.h"

#include <cctype>
#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>

#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/core/text/numbers.h"

namespace {

using Json = nlohmann::ordered_json;

// A setting's value as the text the module takes: a number as the file writes it, true and
// false as 1 and 0, a string as it is. False for anything else.
bool settingText(const Json& value, std::string& text) {
    if (value.is_boolean())
        text = value.get<bool>() ? "1" : "0";
    else if (value.is_number())
        text = value.dump();
    else if (value.is_string())
        text = value.get<std::string>();
    else
        return false;
    return true;
}

// The members of a run's set-up besides the settings; the refusal, or empty.
std::string readSetup(const std::string& key, const Json& value, SettingsFile& out) {
    if (key == "arenas") {
        if (!value.is_array()) return "\"arenas\" is no list";
        for (const Json& arena : value) {
            if (!arena.is_string()) return "an arena that is no string";
            out.arenas.push_back(arena.get<std::string>());
        }
    } else if (key == "animals") {
        if (!value.is_array()) return "\"animals\" is no list";
        for (const Json& n : value) {
            if (!n.is_number_integer() || n.get<long long>() < 1 || n.get<long long>() > 1000000)
                return "expected a positive count of animals";
            out.animals.push_back(n.get<long long>());
        }
    } else if (key == "scale") {
        out.scale = value.is_number() ? value.get<double>() : 0;
        if (!(out.scale > 0) || out.scale > 1e12) return "expected a positive scale";
    } else if (key == "unit" || key == "link") {
        if (!value.is_string()) return "\"" + key + "\" is no string";
        (key == "unit" ? out.unit : out.link) = value.get<std::string>();
    }
    return {};
}

// The file's members into `out`; the refusal, or empty.
std::string readSettingsJson(const Json& file, SettingsFile& out) {
    if (!file.is_object()) return "expected an object";
    const auto settings = file.find("settings");
    if (!file.contains("procedure") || settings == file.end()) return "no \"procedure\" or no \"settings\"";
    if (!settings->is_object()) return "\"settings\" is no object";
    for (const auto& [key, value] : file.items()) {
        const bool text = key == "module_version" || key == "procedure";
        if (text && !value.is_string()) return "\"" + key + "\" is no string";
        if (key == "module_version") out.version = value.get<std::string>();
        if (key == "procedure") out.procedure = value.get<std::string>();
        if (const std::string refusal = readSetup(key, value, out); !refusal.empty()) return refusal;
    }
    for (const auto& [name, value] : settings->items()) {
        Setting s{name, ""};
        if (!settingText(value, s.value)) return "setting \"" + name + "\" is no number, true, false or string";
        out.values.push_back(std::move(s));
    }
    return out.procedure.empty() ? "no \"procedure\" or no \"settings\"" : "";
}

}  // namespace

std::string formatSetting(int type, double value) {
    if (type != 2 && std::isfinite(value) && std::fabs(value) < 1e15)
        return std::to_string(static_cast<long long>(value));
    return ambrevo::text::shortest(value);
}

Outcome readSettings(const Module& module, const ambrevo_procedure* procedure, std::vector<SettingInfo>& settings) {
    settings.clear();
    const int32_t n = module.paramCount(procedure);
    for (int32_t i = 0; i < n; ++i) {
        ambrevo_param p{};
        double value = 0;
        if (module.paramDescribe(procedure, i, &p) != AMBREVO_OK || module.paramGet(procedure, p.name, &value) != AMBREVO_OK)
            return Failure{RunError::module, module.failure()};
        settings.push_back({p.name ? p.name : "", int(p.type), p.lowest, p.highest, p.default_value, value,
                            p.help ? p.help : ""});
    }
    return {};
}

Outcome applySettings(const Module& module, ambrevo_procedure* procedure, const std::vector<Setting>& settings) {
    if (settings.empty()) return {};
    if (Outcome offered = module.requireSettings(); !offered) return offered;
    for (const Setting& s : settings)
        if (module.paramSetText(procedure, s.name.c_str(), s.value.c_str()) != AMBREVO_OK)
            return Failure{RunError::usage, module.failure(("setting " + s.name + "=" + s.value + " refused").c_str())};
    return {};
}

std::vector<std::vector<std::string>> askedTogether(const std::string& dialogue) {
    static const std::string ask = "Please supply the new values for";
    std::vector<std::vector<std::string>> groups;
    for (size_t at = dialogue.find(ask); at != std::string::npos; at = dialogue.find(ask, at)) {
        at += ask.size();
        const size_t end = dialogue.find(':', at);
        std::string names = dialogue.substr(at, end == std::string::npos ? std::string::npos : end - at);
        for (size_t and_; (and_ = names.find(" and ")) != std::string::npos;) names.replace(and_, 5, ",");
        std::vector<std::string> group;
        std::string name;
        for (char c : names + ",") {
            if (c != ',' && !std::isspace(static_cast<unsigned char>(c)))
                name += c;
            else if (c == ',' && !name.empty())
                group.push_back(name), name.clear();
        }
        if (!group.empty()) groups.push_back(group);
    }
    return groups;
}

std::string settingsTable(const std::vector<SettingInfo>& settings) {
    size_t nameWidth = 4, valueWidth = 5, rangeWidth = 5;
    std::vector<std::string> values, ranges;
    for (const SettingInfo& s : settings) {
        values.push_back(formatSetting(s.type, s.value));
        ranges.push_back(s.type == 1 ? "0 or 1"
                                     : formatSetting(s.type, s.lowest) + " to " + formatSetting(s.type, s.highest));
        nameWidth = std::max(nameWidth, s.name.size());
        valueWidth = std::max(valueWidth, values.back().size());
        rangeWidth = std::max(rangeWidth, ranges.back().size());
    }
    std::ostringstream out;
    auto row = [&](const std::string& a, const std::string& b, const std::string& c, const std::string& d) {
        out << a << std::string(nameWidth - a.size() + 2, ' ') << b << std::string(valueWidth - b.size() + 2, ' ') << c
            << std::string(rangeWidth - c.size() + 2, ' ') << d << '\n';
    };
    row("name", "value", "range", "help");
    for (size_t i = 0; i < settings.size(); ++i) row(settings[i].name, values[i], ranges[i], settings[i].help);
    return out.str();
}

std::string settingsJson(const std::string& version, const std::string& procedure,
                         const std::vector<SettingInfo>& settings) {
    std::vector<std::pair<std::string, std::string>> values;
    for (const SettingInfo& s : settings) values.emplace_back(s.name, formatSetting(s.type, s.value));
    return settingsJson(version, procedure, values);
}

std::string settingsJson(const std::string& version, const std::string& procedure,
                         const std::vector<std::pair<std::string, std::string>>& values) {
    std::string out = "{\"module_version\": " + jsonString(version) + ",\n \"procedure\": " + jsonString(procedure) +
                      ",\n \"settings\": {";
    for (size_t i = 0; i < values.size(); ++i)
        out += (i ? ",\n  " : "\n  ") + jsonString(values[i].first) + ": " + values[i].second;
    return out + (values.empty() ? "}}\n" : "\n }}\n");
}

std::string settingsFileJson(const SettingsFile& file) {
    std::vector<std::pair<std::string, std::string>> values;
    for (const Setting& s : file.values) values.emplace_back(s.name, s.value);
    std::string more;
    auto list = [&](const char* key, const auto& items, auto text) {
        if (items.empty()) return;
        more += std::string(",\n \"") + key + "\": [";
        for (size_t i = 0; i < items.size(); ++i) more += (i ? ", " : "") + text(items[i]);
        more += "]";
    };
    list("arenas", file.arenas, [](const std::string& a) { return jsonString(a); });
    list("animals", file.animals, [](int64_t n) { return std::to_string(n); });
    if (file.scale > 0) more += ",\n \"scale\": " + formatSetting(2, file.scale);
    if (!file.unit.empty()) more += ",\n \"unit\": " + jsonString(file.unit);
    if (!file.link.empty()) more += ",\n \"link\": " + jsonString(file.link);
    std::string out = settingsJson(file.version, file.procedure, values);
    return out.insert(out.size() - 2, more);
}

Outcome readSettingsFile(const std::string& file, SettingsFile& out, const StopToken& stop) {
    const Expected<std::string> text = readFileArgument(file, {"--settings", "a settings file", uint64_t(16) << 20}, stop);
    if (!text) return text.error();
    out = SettingsFile{};
    std::string refusal;
    try {
        refusal = readSettingsJson(Json::parse(*text), out);
    } catch (const Json::exception& e) {
        // "[json.exception.parse_error.101] parse error at line 1, column 5: ...": the words after the tag.
        const std::string what = e.what();
        refusal = what.substr(what.find("] ") == std::string::npos ? 0 : what.find("] ") + 2);
    }
    if (refusal.empty()) return {};
    return inputFailure("malformed --settings file '" + file + "': " + refusal);
}
