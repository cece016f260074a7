#include "ambrevo/pipeline/module/module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "ambrevo/pipeline/core/files.h"

Module::~Module() {
    if (handle_) dlclose(handle_);
}

bool Module::present(bool found, const char* name, std::string& error) const {
    if (found) return true;
    error = "module '" + path_ + "' lacks the export " + name;
    return false;
}

bool Module::load(const std::string& path, std::string& error) {
    path_ = path;
    // A name without a slash would be searched on the library path; the user means a file.
    std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    // The loader would wait for a pipe's writer, or read a device for ever.
    if (const std::string kind = nonRegularKind(file); !kind.empty()) {
        error = "cannot load module '" + path + "': it is " + kind + ", not a module file (Ambrevo.qorb)";
        return false;
    }
    handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = dlerror();
        error = "cannot load module '" + path + "': " + (why ? why : "unknown reason");
        return false;
    }
    struct Entry {
        const char* name;
        void** slot;
        bool required;
    };
    const Entry entries[] = {
        {"ip_dllAdaptor_create", reinterpret_cast<void**>(&create), true},
        {"ip_dllAdaptor_destroy", reinterpret_cast<void**>(&destroy), true},
        {"ip_dllAdaptor_dstDib", reinterpret_cast<void**>(&dstDib), true},
        {"ip_dllAdaptor_config", reinterpret_cast<void**>(&config), true},
        {"ip_dllAdaptor_profile", reinterpret_cast<void**>(&profile), true},
        {"ip_dllAdaptor_process", reinterpret_cast<void**>(&process), true},
        {"ip_dllAdaptor_reformat", reinterpret_cast<void**>(&reformat), true},
        {"ip_dllAdaptor_createByName", reinterpret_cast<void**>(&createByName), false},
        {"ip_dllAdaptor_procedureName", reinterpret_cast<void**>(&procedureName), false},
        {"ip_dllAdaptor_objects", reinterpret_cast<void**>(&objects), false},
        {"ip_dllAdaptor_objectDetails", reinterpret_cast<void**>(&objectDetails), false},
        {"ip_dllAdaptor_counters", reinterpret_cast<void**>(&counters), false},
        {"ip_dllAdaptor_procedureTraits", reinterpret_cast<void**>(&procedureTraits), false},
        {"ip_dllAdaptor_setDiagnostics", reinterpret_cast<void**>(&setDiagnostics), false},
        {"ip_dllAdaptor_version", reinterpret_cast<void**>(&version), false},
        {"ip_dllAdaptor_paramCount", reinterpret_cast<void**>(&paramCount), false},
        {"ip_dllAdaptor_paramInfo", reinterpret_cast<void**>(&paramInfo), false},
        {"ip_dllAdaptor_setParam", reinterpret_cast<void**>(&setParam), false},
    };
    for (const Entry& e : entries) {
        *e.slot = dlsym(handle_, e.name);
        if (!*e.slot && e.required) {
            error = "module '" + path + "' lacks the export " + e.name;
            return false;
        }
    }
    return true;
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
