// The run status.
#include "status.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sondrel {

namespace
{

int RunFailed = 0;
bool WriteFailureReported = false;

} // namespace

void ReportError(const char* label)
{
    perror(label);
    RunFailed = 1;
}

void NoteFailure()
{
    RunFailed = 1;
}

void ReportWriteFailure()
{
    if (!WriteFailureReported)
        ReportError("Writing output file");
    WriteFailureReported = true;
    RunFailed = 1;
    clearerr(stdout);
}

void (*FatalStopHook)() = nullptr;

void FatalStop()
{
    if (FatalStopHook)
        FatalStopHook();
    exit(1);
}

int RunStatus()
{
    return RunFailed;
}

void ResetRunStatus()
{
    RunFailed = 0;
    WriteFailureReported = false;
}

std::string Reason(const char* what, int error)
{
    return std::string(what) + ": " + strerror(error);
}

} // namespace sondrel
