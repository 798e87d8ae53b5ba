// Command line: arguments to option flags, one file, the exit status.
#include "cli/cli.h"

#include "inspect/record.h"
#include "riff.h"
#include "text/dump.h"
#include "text/export.h"
#include "text/report.h"
#include "write/repair.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unistd.h>
#include <vector>

int WantChunks = 0;
int WantRawChunks = 0;
int WantFmt = 0;
int WantBext = 0;
int WantiXML = 0;
int WantData = 0;
int WantMono = 0;
int WantDryRun = 0;
int WantJson = 0;
int WantMD5 = 0;
int WantLoudness = 0;
int WantRepair = 0;

const char* const Usage =
    "sondrel version 0.05 [Build date " __DATE__ "]\n"
    "Written by Velmarin for archivists and audio engineers.\n"
    "\n"
    "Program to dump Broadcast WAV information\n"
    "\n"
    "Options:\n"
    "  --chunks     ... show summary of WAV chunks\n"
    "  --fmt        ... dump 'fmt' chunk in text format\n"
    "  --bext       ... dump 'bext' chunk in text format\n"
    "  --ixml       ... dump 'iXML' chunk in text format\n"
    "  --data       ... dump 'data' (audio) chunk to stdout in binary format\n"
    "  --mono       ... convert multi-channel data dump to 16-bit mono PCM\n"
    "  --dryrun     ... dry run for --data streaming; nothing written to stdout\n"
    "\n"
    "Note that the --data option is only intended for redirecting raw audio data\n"
    "to a file or piping to another program. It should only be combined with the\n"
    "--mono option, which mixes multi-channel 16-bit or 24-bit PCM audio to mono\n"
    "16-bit PCM.\n"
    "\n";

namespace
{

const char* const VersionLine = "sondrel version 0.05 (c) Velmarin <sondrel@velmarin.example>";

// Output lost in stdio's buffer on a full disk must not pass for success.
int FlushStandardOutput()
{
    if (fflush(stdout) != 0) {
        ReportWriteFailure();
        return 1;
    }
    // An earlier implicit flush failed and its error number is long gone.
    if (ferror(stdout)) {
        errno = EIO;
        ReportWriteFailure();
        return 1;
    }
    return 0;
}

struct Option {
    const char* name;
    int* flag;
};

// Matched in this order; "--rawchunks" is deliberately left out of the usage text.
constexpr Option Options[] = {
    {"--chunks", &WantChunks}, {"--rawchunks", &WantRawChunks}, {"--fmt", &WantFmt},
    {"--bext", &WantBext},     {"--ixml", &WantiXML},           {"--data", &WantData},
    {"--mono", &WantMono},     {"--dryrun", &WantDryRun},       {"--json", &WantJson},
    {"--md5", &WantMD5},       {"--loudness", &WantLoudness},   {"--repair", &WantRepair},
};

// The options that write text or audio, the text modes' own, come first: the
// inspector's start at --json.
constexpr size_t TextOptionCount = 8;
static_assert(std::string_view(Options[TextOptionCount].name) == "--json");

// The first option on the command line that writes text or audio, or null.
const char* FirstTextOption(int argc, char** argv)
{
    for (int i = 1; i < argc; i++)
        for (size_t n = 0; n < TextOptionCount; n++)
            if (strcmp(argv[i], Options[n].name) == 0)
                return Options[n].name;
    return nullptr;
}

// Usage errors of the inspector; false when the options go together.
bool InspectorOptionConflict(int argc, char** argv)
{
    if (!WantJson) {
        fputs("sondrel: Error: --md5 and --loudness need --json\n", stderr);
        return true;
    }
    if (const char* option = FirstTextOption(argc, argv)) {
        fprintf(stderr, "sondrel: Error: --json cannot be combined with %s\n", option);
        return true;
    }
    return false;
}

int RunInspector(int argc, char** argv, const std::vector<const char*>& files)
{
    if (InspectorOptionConflict(argc, argv))
        return 1;
    if (files.empty()) {
        fputs("sondrel: Error: No audio file specified\n", stderr);
        return 1;
    }
    InspectOptions options;
    options.md5 = WantMD5 != 0;
    options.loudness = WantLoudness != 0;
    options.progress = isatty(STDERR_FILENO) != 0;
    int status = InspectFiles(files, options);
    if (FlushStandardOutput() != 0 || RunStatus() != 0)
        status = 1;
    return status;
}

// Usage errors of --repair: it takes --md5 alone, and exactly IN and OUT.
bool RepairOptionConflict(int argc, char** argv, const std::vector<const char*>& files)
{
    const char* other = FirstTextOption(argc, argv);
    if (!other && WantJson)
        other = "--json";
    if (!other && WantLoudness)
        other = "--loudness";
    if (other) {
        fprintf(stderr, "sondrel: Error: --repair cannot be combined with %s\n", other);
        return true;
    }
    if (files.size() != 2) {
        fputs("sondrel: Error: --repair needs an input file and an output file\n", stderr);
        return true;
    }
    return false;
}

int RunRepairMode(int argc, char** argv, const std::vector<const char*>& files)
{
    if (RepairOptionConflict(argc, argv, files))
        return 2;
    RepairOptions options;
    options.md5 = WantMD5 != 0;
    int status = RunRepair(files[0], files[1], options);
    if (FlushStandardOutput() != 0)
        status = 2;
    return status;
}

// The writing modes report usage errors with status 2.
int UsageErrorStatus(int argc, char** argv)
{
    for (int i = 1; i < argc; i++)
        if (strcmp(argv[i], "--repair") == 0)
            return 2;
    return 1;
}

} // namespace

bool SetOption(const char* arg)
{
    for (const Option& option : Options) {
        if (strcmp(arg, option.name) == 0) {
            *option.flag = 1;
            return true;
        }
    }
    return false;
}

void ClearOptions()
{
    for (const Option& option : Options)
        *option.flag = 0;
}

void ResetRunState()
{
    ClearOptions();
    ResetRunStatus();
    outEnd();
    ResetExport();
    ResetWalker();
}

int SondrelMain(int argc, char** argv)
{
    if (argc < 2) {
        fputs(Usage, stderr);
        return 1;
    }
    bool sawOption = false;
    const char* file = nullptr;
    std::vector<const char*> files; // the inspector takes every file named
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (arg[0] != '-') {
            file = arg; // the text modes take the last file named
            files.push_back(arg);
            continue;
        }
        if (SetOption(arg)) {
            sawOption = true;
        } else if (strcmp(arg, "--version") == 0) {
            printf("%s\n", VersionLine);
            return FlushStandardOutput();
        } else {
            fprintf(stderr, "Unknown option '%s'\n", arg);
            return UsageErrorStatus(argc, argv);
        }
    }
    if (WantRepair)
        return RunRepairMode(argc, argv, files);
    if (WantJson || WantMD5 || WantLoudness)
        return RunInspector(argc, argv, files);
    if (!sawOption)
        WantChunks = 1;
    if (!file) {
        fputs("sondrel: Error: No audio file specified\n", stderr);
        return 1;
    }
    DumpWaveFile(file);
    int status = RunStatus();
    if (FlushStandardOutput() != 0)
        status = 1;
    return status;
}
