// Runs one walk inside this process, for the fuzz target and the truncation
// sweep: each call is a run of its own, and a fatal stop ends the walk
// instead of the process.
#pragma once

#include "export.h"
#include "riff.h"

#include <unistd.h>

struct FatalStopInProcess {
};

inline void WalkInProcess(const char* path)
{
    CharCount = 0; // the export is keyed afresh for each run
    LineCount = 0;
    void (*const savedHook)() = FatalStopHook;
    FatalStopHook = [] { throw FatalStopInProcess{}; };
    // The walker's descriptor will be the lowest free one; a fatal stop
    // leaves it open, where a real run would end the process.
    const int walkerFd = dup(STDIN_FILENO);
    close(walkerFd);
    try {
        DumpWaveFile(path);
    } catch (const FatalStopInProcess&) {
        close(walkerFd);
    }
    FatalStopHook = savedHook;
}
