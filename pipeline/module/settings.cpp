#include "settings.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "files.h"

namespace {

// Just enough JSON for the file --settings-out writes: an object whose members are strings,
// numbers, booleans or an object of those; anything else is skipped whole.
class Reader {
public:
    explicit Reader(const std::string& text) : s_(text) {}
    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }

    void space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) ++i_;
    }
    bool eat(char c) {
        space();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    char peek() {
        space();
        return i_ < s_.size() ? s_[i_] : '\0';
    }
    bool atEnd() {
        space();
        return i_ == s_.size();
    }
    void fail(const std::string& what) {
        if (error_.empty()) error_ = what + " at byte " + std::to_string(i_);
    }
    std::string string() {
        std::string out;
        if (!eat('"')) {
            fail("expected a string");
            return out;
        }
        while (i_ < s_.size() && s_[i_] != '"') {
            char c = s_[i_++];
            if (c == '\\' && i_ < s_.size()) {
                char e = s_[i_++];
                if (e == 'u') {
                    // Only the escapes this host writes: control characters.
                    unsigned v = 0;
                    if (i_ + 4 > s_.size() || std::from_chars(&s_[i_], &s_[i_] + 4, v, 16).ptr != &s_[i_] + 4)
                        return fail("malformed \\u escape"), out;
                    i_ += 4;
                    out += char(v < 0x80 ? v : '?');
                } else {
                    out += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
                }
            } else {
                out += c;
            }
        }
        if (!eat('"')) fail("unterminated string");
        return out;
    }
    // A number, true or false as the text setParam takes.
    std::string scalar() {
        space();
        if (s_.compare(i_, 4, "true") == 0) return i_ += 4, "1";
        if (s_.compare(i_, 5, "false") == 0) return i_ += 5, "0";
        if (peek() == '"') return string();
        size_t start = i_;
        while (i_ < s_.size() && (std::isdigit(static_cast<unsigned char>(s_[i_])) || s_[i_] == '-' || s_[i_] == '+' ||
                                  s_[i_] == '.' || s_[i_] == 'e' || s_[i_] == 'E'))
            ++i_;
        if (i_ == start) fail("expected a number");
        return s_.substr(start, i_ - start);
    }
    // An array, each item read by `item`.
    template <class F>
    void array(F item) {
        if (!eat('[')) return fail("expected an array");
        for (bool first = true; !failed() && !eat(']'); first = false) {
            if (!first && !eat(',')) return fail("expected ','");
            item();
        }
    }
    // Skips any value, nesting counted rather than recursed.
    void skip() {
        int depth = 0;
        do {
            char c = peek();
            if (c == '"') {
                string();
            } else if (c == '{' || c == '[') {
                ++i_;
                ++depth;
            } else if (c == '}' || c == ']') {
                ++i_;
                --depth;
            } else if (c == ',' || c == ':') {
                ++i_;
            } else if (c == '\0') {
                return fail("unexpected end");
            } else {
                scalar();
            }
        } while (depth > 0 && !failed());
    }

private:
    const std::string& s_;
    size_t i_ = 0;
    std::string error_;
};

// The members of a run's set-up besides the settings; false for another key.
bool readSetup(Reader& r, const std::string& key, SettingsFile& out) {
    if (key == "arenas") {
        r.array([&] { out.arenas.push_back(r.string()); });
    } else if (key == "animals") {
        r.array([&] {
            const std::string text = r.scalar();
            char* end = nullptr;
            const long long n = std::strtoll(text.c_str(), &end, 10);
            if (end != text.c_str() + text.size() || n < 1 || n > 1000000) r.fail("expected a positive count");
            out.animals.push_back(n);
        });
    } else if (key == "scale") {
        const std::string text = r.scalar();
        char* end = nullptr;
        out.scale = std::strtod(text.c_str(), &end);
        if (end != text.c_str() + text.size() || !(out.scale > 0) || out.scale > 1e12)
            r.fail("expected a positive scale");
    } else if (key == "unit") {
        out.unit = r.string();
    } else if (key == "link") {
        out.link = r.string();
    } else {
        return false;
    }
    return true;
}

}  // namespace

std::string formatSetting(int type, double value) {
    char text[32];
    if (type != 2 && std::isfinite(value) && std::fabs(value) < 1e15) {
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
        return text;
    }
    auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return ec == std::errc() ? std::string(text, end) : "nan";
}

std::vector<SettingInfo> readSettings(const Module& module, int id) {
    std::vector<SettingInfo> out;
    if (!module.paramCount || !module.paramInfo) return out;
    const int n = module.paramCount(id);
    for (int i = 0; i < n; ++i) {
        ip_paramRecord r{};
        if (!module.paramInfo(id, i, &r)) break;
        out.push_back(
            {r.name ? r.name : "", int(r.type), r.lowest, r.highest, r.defaultValue, r.value, r.help ? r.help : ""});
    }
    return out;
}

bool applySettings(const Module& module, int id, const std::vector<Setting>& settings, std::string& error) {
    if (settings.empty()) return true;
    if (!module.requireSettings(error)) return false;
    for (const Setting& s : settings) {
        char message[512] = {};
        if (!module.setParam(id, s.name.c_str(), s.value.c_str(), message, int(sizeof message))) {
            error = message[0] ? message : "setting " + s.name + "=" + s.value + " refused";
            return false;
        }
    }
    return true;
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

bool readSettingsFile(const std::string& file, SettingsFile& out, std::string& error, const StopToken& stop) {
    std::string text;
    if (!readFileArgument(file, {"--settings", "a settings file", uint64_t(16) << 20}, text, error, stop)) return false;
    Reader r(text);
    out = SettingsFile{};
    bool sawSettings = false, first = true;
    if (!r.eat('{')) r.fail("expected an object");
    while (!r.failed() && !r.eat('}')) {
        if (!first && !r.eat(',')) r.fail("expected ','");
        first = false;
        const std::string key = r.string();
        if (!r.eat(':')) r.fail("expected ':'");
        if (r.failed()) break;
        if (key == "module_version") {
            out.version = r.string();
        } else if (key == "procedure") {
            out.procedure = r.string();
        } else if (key == "settings") {
            sawSettings = true;
            if (!r.eat('{')) r.fail("expected the settings object");
            while (!r.failed() && !r.eat('}')) {
                if (!out.values.empty() && !r.eat(',')) r.fail("expected ','");
                Setting s;
                s.name = r.string();
                if (!r.eat(':')) r.fail("expected ':'");
                s.value = r.scalar();
                if (!r.failed()) out.values.push_back(s);
            }
        } else if (!readSetup(r, key, out)) {
            r.skip();
        }
    }
    if (!r.failed() && !r.atEnd()) r.fail("text after the object");
    if (!r.failed() && (out.procedure.empty() || !sawSettings)) r.fail("no \"procedure\" or no \"settings\"");
    if (r.failed()) {
        error = "malformed --settings file '" + file + "': " + r.error();
        return false;
    }
    return true;
}
