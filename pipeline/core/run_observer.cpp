// The observer's defaults live with it, so that every layer that holds an observer links
// without the run's layer (its type information too, which the sanitizers' checks read).
#include "ambrevo/pipeline/core/run_observer.h"

#include <cstdio>
#include <iostream>

void RunObserver::moduleSaid(bool notice, const std::string& text) {
    std::fputs(text.c_str(), notice ? stderr : stdout);
}

Expected<std::ostream*> RunObserver::liveRows() { return &std::cout; }
