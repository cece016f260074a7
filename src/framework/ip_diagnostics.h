// Where procedures write the diagnostics that do not stop them. Hosts of the exported
// interface read them on the process's standard streams; the C interface hands them to
// its caller instead, for the duration of one call on one thread.
#pragma once

#include <cstdarg>

#include "interface/ip_attributes.h"
#include "interface/ip_host.h"

class ip_diagnosticSink {
public:
    // `error` marks a line the procedure writes to standard error.
    virtual void write(const char* text, bool error) = 0;

protected:
    ~ip_diagnosticSink() = default;
};

// Hands each text to a host's function with the host's own pointer and the text's kind
// (ip_diagnosticConsole for standard output's, ip_diagnosticNotice for standard error's).
class ip_forwardingSink final : public ip_diagnosticSink {
public:
    void set(ip_diagnosticFn function, void* user) {
        function_ = function;
        user_ = user;
    }
    bool isSet() const { return function_ != nullptr; }
    void write(const char* text, bool error) override {
        if (function_) function_(user_, error ? ip_diagnosticNotice : ip_diagnosticConsole, text);
    }

private:
    ip_diagnosticFn function_ = nullptr;
    void* user_ = nullptr;
};

// printf-style; to standard output / standard error unless a sink is installed.
void ip_diagOut(const char* format, ...) IP_PRINTF_FORMAT(1, 2);
void ip_diagErr(const char* format, ...) IP_PRINTF_FORMAT(1, 2);

// Installs `sink` (null: the standard streams) on this thread while it lives.
class ip_diagnosticScope {
public:
    explicit ip_diagnosticScope(ip_diagnosticSink* sink);
    ~ip_diagnosticScope();
    ip_diagnosticScope(const ip_diagnosticScope&) = delete;
    ip_diagnosticScope& operator=(const ip_diagnosticScope&) = delete;

private:
    ip_diagnosticSink* previous_;
};
