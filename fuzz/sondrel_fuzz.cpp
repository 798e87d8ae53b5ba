// libFuzzer target: runs the whole walk on arbitrary file bytes under one
// option set, chosen with SONDREL_FUZZ_OPTIONS (for example "--data --mono").
#include "cli.h"
#include "walk_in_process.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace
{

std::string Options;

// The option set is fixed for a fuzzing session: its words are options.
void SetFlags()
{
    ResetRunState();
    bool any = false;
    size_t at = 0;
    while (at < Options.size()) {
        size_t end = Options.find(' ', at);
        if (end == std::string::npos)
            end = Options.size();
        std::string word = Options.substr(at, end - at);
        if (!word.empty() && !SetOption(word.c_str()))
            abort(); // a typo in SONDREL_FUZZ_OPTIONS must not fuzz the wrong thing
        any = any || !word.empty();
        at = end + 1;
    }
    if (!any)
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
    WalkInProcess(path.c_str());
    fflush(stdout);
    close(fd);
    return 0;
}
