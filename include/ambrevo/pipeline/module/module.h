// The module, loaded at run time, and the guard around every call into it.
#pragma once

#include <exception>
#include <string>

#include "ip_host.h"

class Module {
public:
    Module() = default;
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    ~Module();

    // Loads the module and resolves the seven exports; the extensions are optional here
    // and checked by require*() where a feature needs them.
    bool load(const std::string& path, std::string& error);
    const std::string& path() const { return path_; }

    bool requireCreateByName(std::string& error) const { return present(createByName != nullptr, "ip_dllAdaptor_createByName", error); }
    bool requireProcedureName(std::string& error) const { return present(procedureName != nullptr, "ip_dllAdaptor_procedureName", error); }
    bool requireObjects(std::string& error) const { return present(objects != nullptr, "ip_dllAdaptor_objects", error); }

    ip_createFn create = nullptr;
    ip_destroyFn destroy = nullptr;
    ip_dstDibFn dstDib = nullptr;
    ip_configFn config = nullptr;
    ip_profileFn profile = nullptr;
    ip_processFn process = nullptr;
    ip_reformatFn reformat = nullptr;
    ip_createByNameFn createByName = nullptr;
    ip_procedureNameFn procedureName = nullptr;
    ip_objectsFn objects = nullptr;
    ip_objectDetailsFn objectDetails = nullptr;  // sub-pixel centres and shapes; optional
    ip_countersFn counters = nullptr;            // frames a procedure left out or could not search; optional
    ip_procedureTraitsFn procedureTraits = nullptr;  // what each procedure is (traits.h); optional
    ip_setDiagnosticsFn setDiagnostics = nullptr;    // an instance's diagnostics to the host; optional
    // Settings by name; a module older than them has none of the four.
    ip_versionFn version = nullptr;
    ip_paramCountFn paramCount = nullptr;
    ip_paramInfoFn paramInfo = nullptr;
    ip_setParamFn setParam = nullptr;
    bool requireSettings(std::string& error) const {
        return present(setParam && paramInfo && paramCount, "ip_dllAdaptor_setParam", error);
    }

private:
    bool present(bool found, const char* name, std::string& error) const;

    void* handle_ = nullptr;
    std::string path_;
};

// Where the module is looked for: --module, else $AMBREVO_MODULE, else ../lib/Ambrevo.qorb
// next to the executable.
std::string defaultModulePath();

// Runs one call into the module. Every export may throw a `const char*` message; it
// becomes `error` and the call reports false.
template <class F>
bool guarded(F&& f, std::string& error) {
    try {
        f();
        return true;
    } catch (const char* message) {
        error = message ? message : "(null message)";
    } catch (const std::exception& e) {
        error = e.what();
    } catch (...) {
        error = "unknown exception";
    }
    return false;
}
