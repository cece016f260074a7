// Procedure base classes: everything the adaptor drives a procedure through.
#pragma once

#include "interface/ip_host.h"
#include "framework/ip_diagnostics.h"
#include "image/dib.h"

class ip_base {
public:
    // Copies the format of the source images to come; refuses a format the module
    // cannot hold.
    explicit ip_base(const dib_fmt* format);
    ip_base(const ip_base&) = delete;
    ip_base& operator=(const ip_base&) = delete;
    virtual ~ip_base();

    virtual const char* name() const = 0;
    virtual dib_base* dstDib() = 0;
    // Default: tells the console that there is nothing to configure.
    virtual void config(ip_console* console);
    // Default: reports nothing.
    virtual void profile(ip_profiler* profiler);
    virtual void process(const dib_base* src, ip_eventList* events, ip_overlay* overlay) = 0;
    // Adapts the buffers to the format now in srcFmt().
    virtual void reformat() = 0;

    // Reformats first when the frame's format differs (row order ignored), then processes.
    void doProcess(const dib_base* src, ip_eventList* events, ip_overlay* overlay);
    // Stores the format (row order included) and reformats, unconditionally.
    void doReformat(const dib_fmt* format);

    const dib_fmt* srcFmt() const { return srcFmt_; }
    // The host callback record this procedure was built with (ip_dllAdaptor_callbacks at
    // construction); its windows open and close through it.
    const ip_hostCallbacks* hostCallbacks() const { return callbacks_; }
    // Where the host wants this instance's diagnostics (ip_dllAdaptor_setDiagnostics): the sink
    // the adaptor installs for each call, or null for the process's standard streams.
    void setDiagnostics(ip_diagnosticFn function, void* user) { diagnostics_.set(function, user); }
    ip_diagnosticSink* diagnostics() { return diagnostics_.isSet() ? &diagnostics_ : nullptr; }

private:
    dib_fmt* srcFmt_;
    const ip_hostCallbacks* callbacks_;
    ip_forwardingSink diagnostics_;
};

// A procedure that needs nothing but the source image of each frame.
class ip_simple : public ip_base {
public:
    using ip_base::ip_base;
    void process(const dib_base* src, ip_eventList* events, ip_overlay* overlay) override;
    virtual void processSrc(const dib_base* src) = 0;
};

// Class name of a procedure as the default dialogue prints it ("ip_nop").
const char* ip_className(const ip_base& procedure);
