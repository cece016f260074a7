// The module, loaded at run time through its plain C interface (ambrevo.h): every function
// returns a status and throws nothing, and every callback carries the caller's pointer.
#pragma once

#include <exception>
#include <string>

#include "ambrevo.h"
#include "ambrevo/pipeline/core/failure.h"

class Module {
public:
    Module() = default;
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    ~Module();

    // Loads the module and resolves every function of the interface (1.4 or a later 1.x).
    // Failures here and in the checks below are RunError::moduleLoad.
    Outcome load(const std::string& path);
    const std::string& path() const { return path_; }

    // A module assembled by hand (tests) may leave functions out; these tell which are there.
    Outcome requireCreateByName() const { return present(create != nullptr, "ambrevo_create"); }
    Outcome requireProcedureName() const { return present(procedureName != nullptr, "ambrevo_procedure_name"); }
    Outcome requireObjects() const { return present(objects != nullptr, "ambrevo_object_records"); }
    Outcome requireSettings() const {
        return present(paramSetText && paramDescribe && paramCount && paramGet, "ambrevo_param_set_text");
    }

    decltype(&ambrevo_version) version = nullptr;
    decltype(&ambrevo_interface_version) interfaceVersion = nullptr;
    decltype(&ambrevo_last_error) lastError = nullptr;
    decltype(&ambrevo_procedure_name) procedureName = nullptr;
    decltype(&ambrevo_procedure_traits) procedureTraits = nullptr;
    decltype(&ambrevo_create) create = nullptr;
    decltype(&ambrevo_destroy) destroy = nullptr;
    decltype(&ambrevo_param_count) paramCount = nullptr;
    decltype(&ambrevo_param_describe) paramDescribe = nullptr;
    decltype(&ambrevo_param_get) paramGet = nullptr;
    decltype(&ambrevo_param_set_text) paramSetText = nullptr;
    decltype(&ambrevo_process) process = nullptr;
    decltype(&ambrevo_object_records) objects = nullptr;
    decltype(&ambrevo_object_details) objectDetails = nullptr;
    decltype(&ambrevo_counters) counters = nullptr;
    decltype(&ambrevo_destination) destination = nullptr;
    decltype(&ambrevo_profile) profile = nullptr;
    decltype(&ambrevo_converse) converse = nullptr;
    decltype(&ambrevo_set_diagnostics) setDiagnostics = nullptr;
    decltype(&ambrevo_set_overlay) setOverlay = nullptr;
    decltype(&ambrevo_set_windows) setWindows = nullptr;

    // The module's message of the last failure on this thread, or `fallback` when it has none.
    std::string failure(const char* fallback = "the module refused") const;

private:
    Outcome present(bool found, const char* name) const;
    Outcome offersInterface() const;

    void* handle_ = nullptr;
    std::string path_;
};

// Where the module is looked for: --module, else $AMBREVO_MODULE, else ../lib/Ambrevo.qorb
// next to the executable.
std::string defaultModulePath();

// The body of a function the module calls back: nothing it throws (the host's own failures:
// memory, OpenCV) may reach the module, so the first failure is kept in `failure` for the caller
// to tell once the call into the module returns.
template <class F>
void contained(std::string& failure, F&& f) noexcept {
    try {
        f();
    } catch (const std::exception& e) {
        if (failure.empty()) failure = *e.what() ? e.what() : "unknown exception";
    } catch (...) {
        if (failure.empty()) failure = "unknown exception";
    }
}
