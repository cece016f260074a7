// The program's exit statuses: one per kind of failure, so that batch scripts can tell them
// apart. The pipeline fails with a RunError; only here does a kind become a number.
#pragma once

#include "ambrevo/pipeline/core/failure.h"

enum ExitStatus {
    exitOk = 0,
    exitModuleError = 1,
    exitUsage = 2,
    exitInput = 3,
    exitOutput = 4,
    exitModuleLoad = 5,
    exitLibrary = 6,
    exitInterrupted = 130,  // 128 + SIGINT's number
    exitTerminated = 143,   // 128 + SIGTERM's number
};

inline int exitStatus(RunError kind) {
    switch (kind) {
    case RunError::module: return exitModuleError;
    case RunError::usage: return exitUsage;
    case RunError::input: return exitInput;
    case RunError::output: return exitOutput;
    case RunError::moduleLoad: return exitModuleLoad;
    case RunError::library: return exitLibrary;
    case RunError::interrupted: return exitInterrupted;
    case RunError::terminated: return exitTerminated;
    }
    return exitLibrary;
}

// The status of a run ended by a stop `request` (a signal's number; a cancel counts as SIGINT).
inline int stopStatus(int request) { return exitStatus(stopError(request)); }
