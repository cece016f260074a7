#include "framework/ip_params.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "framework/ip_window.h"

int ip_findParam(const ip_parameters& params, const char* name) {
    if (!name) return -1;
    for (int i = 0; i < params.paramCount(); ++i)
        if (std::strcmp(params.paramInfo(i).name, name) == 0) return i;
    return -1;
}

namespace {
const char* typeName(ip_paramType type) {
    switch (type) {
        case ip_paramType::integer: return "an integer";
        case ip_paramType::boolean: return "0 or 1";
        case ip_paramType::real: return "a number";
    }
    return "a number";
}

std::string rangeText(const ip_paramInfo& info) {
    return ip_formatParam(info, info.lowest) + " to " + ip_formatParam(info, info.highest);
}
}  // namespace

std::string ip_checkParam(const ip_paramInfo& info, double value) {
    const bool wholeNumber = std::isfinite(value) && std::floor(value) == value;
    bool typeOk = std::isfinite(value);
    if (info.type == ip_paramType::integer) typeOk = wholeNumber;
    if (info.type == ip_paramType::boolean) typeOk = value == 0.0 || value == 1.0;
    if (!typeOk) return std::string(info.name) + " must be " + typeName(info.type);
    if (value < info.lowest || value > info.highest)
        return std::string(info.name) + " must lie in " + rangeText(info) + ", got " + ip_formatParam(info, value);
    return "";
}

bool ip_setParam(ip_parameters& params, const char* name, double value, std::string& message) {
    const int index = ip_findParam(params, name);
    if (index < 0) {
        message = std::string("unknown setting '") + (name ? name : "") + "'";
        return false;
    }
    message = ip_checkParam(params.paramInfo(index), value);
    if (!message.empty()) return false;
    message = params.paramConflict(index, value);
    if (!message.empty()) return false;
    const double before = params.paramValue(index);
    try {
        params.storeParam(index, value);
    } catch (...) {
        // The dialogue stores a value before the procedure rebuilds with it; a rebuild
        // that fails must not leave the refused value behind.
        try {
            params.storeParam(index, before);
        } catch (...) {
            // The values before were already unusable; the first failure is the one to tell.
        }
        throw;
    }
    return true;
}

bool ip_setParamText(ip_parameters& params, const char* name, const char* text, std::string& message) {
    const int index = ip_findParam(params, name);
    if (index < 0) return ip_setParam(params, name, 0.0, message);
    const ip_paramInfo& info = params.paramInfo(index);
    const std::string t = text ? text : "";
    if (info.type == ip_paramType::boolean) {
        if (t == "true" || t == "yes" || t == "on") return ip_setParam(params, name, 1.0, message);
        if (t == "false" || t == "no" || t == "off") return ip_setParam(params, name, 0.0, message);
    }
    // The whole text must be the number: "12abc" is a typing mistake, not 12.
    char* end = nullptr;
    errno = 0;
    const double value = t.empty() ? NAN : std::strtod(t.c_str(), &end);
    if (t.empty() || errno == ERANGE || !end || *end != '\0' || std::isspace(static_cast<unsigned char>(t[0]))) {
        message = std::string(info.name) + " must be " + typeName(info.type) + ", got '" + t + "'";
        return false;
    }
    return ip_setParam(params, name, value, message);
}

std::string ip_formatParam(const ip_paramInfo& info, double value) {
    std::ostringstream text;
    if (info.type != ip_paramType::real && std::isfinite(value) && std::fabs(value) < 9.3e18)
        text << static_cast<long long>(value);
    else
        text << value;
    return text.str();
}

ip_parameters* ip_paramsOf(ip_base* procedure) { return dynamic_cast<ip_parameters*>(procedure); }

namespace {
class silent_console : public ip_console {
public:
    explicit silent_console(const std::vector<std::string>& replies) : replies_(replies) {}
    const char* readLine() override { return next_ < replies_.size() ? replies_[next_++].c_str() : ""; }
    void write(const char*) override {}
    void message(const char*) override {}

private:
    const std::vector<std::string>& replies_;
    size_t next_ = 0;
};
}  // namespace

void ip_answerDialogue(ip_base& procedure, const std::vector<std::string>& replies) {
    // A dialogue may open windows (ccTrack's): they go through the procedure's own record.
    ip_callbackScope scope(procedure.hostCallbacks());
    silent_console console(replies);
    procedure.config(&console);
}

std::string ip_replyLine(const ip_paramInfo* infos, const double* values, int count) {
    std::string line;
    for (int i = 0; i < count; ++i) {
        if (i) line += ' ';
        if (infos[i].type == ip_paramType::real) {
            char text[40];
            std::snprintf(text, sizeof text, "%.9g", values[i]);
            line += text;
        } else {
            line += ip_formatParam(infos[i], values[i]);
        }
    }
    return line;
}
