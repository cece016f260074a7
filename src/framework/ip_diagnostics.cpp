#include "framework/ip_diagnostics.h"

#include <cstdio>
#include <string>

namespace {
thread_local ip_diagnosticSink* currentSink = nullptr;

void emit(bool error, const char* format, va_list args) {
    if (!currentSink) {
        std::vfprintf(error ? stderr : stdout, format, args);
        return;
    }
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length < 0) return;
    std::string text(size_t(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.pop_back();
    currentSink->write(text.c_str(), error);
}
}  // namespace

void ip_diagOut(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emit(false, format, args);
    va_end(args);
}

void ip_diagErr(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emit(true, format, args);
    va_end(args);
}

ip_diagnosticScope::ip_diagnosticScope(ip_diagnosticSink* sink) : previous_(currentSink) { currentSink = sink; }

ip_diagnosticScope::~ip_diagnosticScope() { currentSink = previous_; }
