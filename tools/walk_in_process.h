// Runs one walk inside this process, for the fuzz target and the truncation
// sweep: a fatal stop ends the walk instead of the process.  The caller
// starts each run with ResetRunState().
#pragma once

#include "riff.h"
#include "status.h"
#include "text/dump.h"

namespace sondrel {

struct FatalStopInProcess {
};

inline void WalkInProcess(const char* path, const TextOptions& options)
{
    void (*const savedHook)() = FatalStopHook;
    FatalStopHook = [] { throw FatalStopInProcess{}; };
    try {
        DumpWaveFile(path, options);
    } catch (const FatalStopInProcess&) {
        // the walk closed its descriptor as the stop unwound it
    }
    FatalStopHook = savedHook;
}

} // namespace sondrel
