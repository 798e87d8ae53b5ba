// Runs one walk inside this process, for the fuzz target and the truncation
// sweep: a fatal stop ends the walk instead of the process.  The caller
// starts each run with ResetRunState() and sets its options after it.
#pragma once

#include "text/dump.h"
#include "status.h"
#include "riff.h"

namespace sondrel {

struct FatalStopInProcess {
};

inline void WalkInProcess(const char* path)
{
    void (*const savedHook)() = FatalStopHook;
    FatalStopHook = [] { throw FatalStopInProcess{}; };
    try {
        DumpWaveFile(path);
    } catch (const FatalStopInProcess&) {
        // the walk closed its descriptor as the stop unwound it
    }
    FatalStopHook = savedHook;
}

} // namespace sondrel
