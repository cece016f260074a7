#include "ambrevo/pipeline/module/module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "ambrevo/pipeline/core/files.h"

Module::~Module() {
    if (handle_) dlclose(handle_);
}

Outcome Module::present(bool found, const char* name) const {
    if (found) return {};
    return Failure{RunError::moduleLoad, "module '" + path_ + "' lacks the export " + name};
}

Outcome Module::load(const std::string& path) {
    path_ = path;
    // A name without a slash would be searched on the library path; the user means a file.
    std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    // The loader would wait for a pipe's writer, or read a device for ever.
    if (const std::string kind = nonRegularKind(file); !kind.empty())
        return Failure{RunError::moduleLoad,
                       "cannot load module '" + path + "': it is " + kind + ", not a module file (Ambrevo.qorb)"};
    // Kept mapped after dlclose: the module's own statics (the table of its instances, each
    // thread's last message) outlive every caller.
    handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle_) {
        const char* why = dlerror();
        return Failure{RunError::moduleLoad, "cannot load module '" + path + "': " + (why ? why : "unknown reason")};
    }
    struct Entry {
        const char* name;
        void** slot;
    };
    const Entry entries[] = {
        {"ambrevo_interface_version", reinterpret_cast<void**>(&interfaceVersion)},
        {"ambrevo_version", reinterpret_cast<void**>(&version)},
        {"ambrevo_last_error", reinterpret_cast<void**>(&lastError)},
        {"ambrevo_procedure_name", reinterpret_cast<void**>(&procedureName)},
        {"ambrevo_procedure_traits", reinterpret_cast<void**>(&procedureTraits)},
        {"ambrevo_create", reinterpret_cast<void**>(&create)},
        {"ambrevo_destroy", reinterpret_cast<void**>(&destroy)},
        {"ambrevo_param_count", reinterpret_cast<void**>(&paramCount)},
        {"ambrevo_param_describe", reinterpret_cast<void**>(&paramDescribe)},
        {"ambrevo_param_get", reinterpret_cast<void**>(&paramGet)},
        {"ambrevo_param_set_text", reinterpret_cast<void**>(&paramSetText)},
        {"ambrevo_process", reinterpret_cast<void**>(&process)},
        {"ambrevo_object_records", reinterpret_cast<void**>(&objects)},
        {"ambrevo_object_details", reinterpret_cast<void**>(&objectDetails)},
        {"ambrevo_counters", reinterpret_cast<void**>(&counters)},
        {"ambrevo_destination", reinterpret_cast<void**>(&destination)},
        {"ambrevo_profile", reinterpret_cast<void**>(&profile)},
        {"ambrevo_converse", reinterpret_cast<void**>(&converse)},
        {"ambrevo_set_diagnostics", reinterpret_cast<void**>(&setDiagnostics)},
        {"ambrevo_set_overlay", reinterpret_cast<void**>(&setOverlay)},
        {"ambrevo_set_windows", reinterpret_cast<void**>(&setWindows)},
    };
    for (const Entry& e : entries) {
        *e.slot = dlsym(handle_, e.name);
        if (!*e.slot) return present(false, e.name);
    }
    return offersInterface();
}

// The same major number and at least the minor this program was built against.
Outcome Module::offersInterface() const {
    const std::string offered = interfaceVersion();
    int major = 0, minor = 0;
    if (std::sscanf(offered.c_str(), "%d.%d", &major, &minor) == 2 && major == AMBREVO_INTERFACE_MAJOR &&
        minor >= AMBREVO_INTERFACE_MINOR)
        return {};
    return Failure{RunError::moduleLoad, "module '" + path_ + "' offers the interface " + offered +
                                             ", the program needs " + std::to_string(AMBREVO_INTERFACE_MAJOR) + "." +
                                             std::to_string(AMBREVO_INTERFACE_MINOR)};
}

std::string Module::failure(const char* fallback) const {
    const char* message = lastError ? lastError() : nullptr;
    return message && *message ? message : fallback;
}

std::string defaultModulePath() {
    if (const char* env = std::getenv("AMBREVO_MODULE"); env && *env) return env;
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string self(exe, size_t(n));
        size_t slash = self.rfind('/');
        if (slash != std::string::npos) return self.substr(0, slash) + "/../lib/Ambrevo.qorb";
    }
    return "Ambrevo.qorb";
}
