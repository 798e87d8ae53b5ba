// libFuzzer target: runs the whole walk on arbitrary file bytes under one
// option set, chosen with SONDREL_FUZZ_OPTIONS (for example "--data --mono").
#include "export.h"
#include "report.h"
#include "riff.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

struct FatalStopped {};

void ThrowOnFatalStop() { throw FatalStopped{}; }

struct FlagName {
    const char* name;
    int* flag;
};

const FlagName Flags[] = {
    {"--chunks", &WantChunks}, {"--rawchunks", &WantRawChunks}, {"--fmt", &WantFmt},
    {"--bext", &WantBext},     {"--ixml", &WantiXML},           {"--data", &WantData},
    {"--mono", &WantMono},     {"--dryrun", &WantDryRun},
};

std::string Options;

void SetFlags()
{
    for (const FlagName& f : Flags)
        *f.flag = 0;
    for (const FlagName& f : Flags) {
        size_t at = Options.find(f.name);
        size_t end = at + strlen(f.name);
        if (at != std::string::npos && (end == Options.size() || Options[end] == ' '))
            *f.flag = 1;
    }
    if (Options.empty())
        WantChunks = 1;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* options = getenv("SONDREL_FUZZ_OPTIONS");
    Options = options ? options : "";
    // The program's output is not what is being tested; sanitizer reports
    // still reach the real standard error (descriptor 2).
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);
    close(devnull);
    stderr = fopen("/dev/null", "w");
    FatalStopHook = ThrowOnFatalStop;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int fd = memfd_create("sondrel-fuzz", 0);
    if (fd < 0)
        abort();
    if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size))
        abort();
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    SetFlags();
    CharCount = 0; // each input is a run of its own: key the export afresh
    LineCount = 0;
    // The walker's descriptor will be the lowest free one; a fatal stop
    // leaves it open, where a real run would end the process.
    const int walkerFd = dup(STDIN_FILENO);
    close(walkerFd);
    try {
        DumpWaveFile(path.c_str());
    } catch (const FatalStopped&) {
        close(walkerFd); // a fatal stop ends a real run; here it ends this input
    }
    fflush(stdout);
    close(fd);
    return 0;
}
