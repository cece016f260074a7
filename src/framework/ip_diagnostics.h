// Where procedures write the diagnostics that do not stop them. Hosts of the exported
// interface read them on the process's standard streams; the C interface hands them to
// its caller instead, for the duration of one call on one thread.
#pragma once

#include <cstdarg>

#include "interface/ip_attributes.h"

class ip_diagnosticSink {
public:
    // `error` marks a line the procedure writes to standard error.
    virtual void write(const char* text, bool error) = 0;

protected:
    ~ip_diagnosticSink() = default;
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
