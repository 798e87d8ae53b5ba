// Command line: arguments to option flags, one file or the inspector's
// batch, the exit status.
#include "cli/cli.h"

#include "cli/batch.h"
#include "cli/html_run.h"
#include "status.h"
#include "text/dump.h"
#include "text/flags.h"
#include "write/embed.h"
#include "write/repair.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace sondrel {

namespace
{

// The inspector's options; the text modes' flags are their own (text/flags.h).
int WantJson = 0;
int WantMD5 = 0;
int WantLoudness = 0;
int WantRepair = 0;
int WantEmbed = 0;

} // namespace

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

const char* const Help =
    "Usage: sondrel [OPTION]... FILE\n"
    "       sondrel --json [--md5] [--loudness] [--recursive] [--files-from LIST [-0]]\n"
    "               [--] FILE...\n"
    "       sondrel --html FILE --records RECORDS\n"
    "       sondrel --repair [--md5] IN OUT\n"
    "       sondrel --embed [--md5] [--loudness] FILE...\n"
    "\n"
    "Dump Broadcast WAV information (RIFF WAVE, RF64 and BW64 files).\n"
    "\n"
    "Text modes, on the last file named (no option: --chunks):\n"
    "  --chunks           show summary of WAV chunks\n"
    "  --fmt              dump 'fmt' chunk in text format\n"
    "  --bext             dump 'bext' chunk in text format\n"
    "  --ixml             dump 'iXML' chunk in text format\n"
    "  --data             dump 'data' (audio) chunk to stdout in binary format\n"
    "  --mono             convert multi-channel data dump to 16-bit mono PCM\n"
    "  --dryrun           dry run for --data streaming; nothing written to stdout\n"
    "  --rawchunks        export the small non-audio chunks, enciphered, as hex lines\n"
    "\n"
    "Inspector, one JSON record per file on stdout (JSON Lines):\n"
    "  --json             inspect every file named\n"
    "  --md5              also the audio's MD5, checked against an MD5 chunk\n"
    "  --loudness         also the audio's EBU R 128 loudness, checked against bext\n"
    "  --recursive        walk the directories named: their .wav, .bwf and .rf64 files\n"
    "  --files-from LIST  then the names in the file LIST, one a line ('-': stdin)\n"
    "  -0                 the names in LIST end in a NUL byte, not a newline\n"
    "  --                 end of options: the names after it may begin with '-'\n"
    "  --html FILE        also write a report of the run to FILE, an HTML page\n"
    "  --records RECORDS  with --html: the report of saved records ('-': stdin),\n"
    "                     no audio file read\n"
    "\n"
    "Writing modes, one JSON line per file on stdout:\n"
    "  --repair [--md5] IN OUT\n"
    "                     write a finalised copy of the broken recording IN to OUT\n"
    "  --embed [--md5] [--loudness] FILE...\n"
    "                     store the audio's MD5 and loudness in each FILE\n"
    "\n"
    "  --version          print the version line\n"
    "  -h, --help         print this help\n"
    "\n"
    "Exit status: 0 when all is well; 1 when a file has an error or was refused\n"
    "(the text modes: any failure); 2, with --json, --repair or --embed, when a\n"
    "file could not be opened, read or written, or for a usage error.\n";

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
    {"--embed", &WantEmbed},
};

// The options that write text or audio, the text modes' own, come first: the
// inspector's start at --json.
constexpr size_t TextOptionCount = 8;
static_assert(std::string_view(Options[TextOptionCount].name) == "--json");

bool IsTextOption(const char* arg)
{
    return std::any_of(Options, Options + TextOptionCount,
                       [&](const Option& o) { return strcmp(arg, o.name) == 0; });
}

bool Is(const char* arg, const char* option)
{
    return strcmp(arg, option) == 0;
}

// --version and --help end the run where they stand; -1 for other arguments.
int InfoOption(const char* arg)
{
    if (Is(arg, "--version"))
        printf("%s\n", VersionLine);
    else if (Is(arg, "--help") || Is(arg, "-h"))
        fputs(Help, stdout);
    else
        return -1;
    return FlushStandardOutput();
}

// The options followed by a name of their own.
bool TakesName(const char* arg)
{
    return Is(arg, "--files-from") || Is(arg, "--html") || Is(arg, "--records");
}

// The modes that take their own arguments.  A writing mode wins over --json
// (--repair with --json is a usage error of --repair); of the two writing
// modes, the first named.
enum class Mode { Text, Repair, Embed, Json, Records };

// The mode asked for: an option among the arguments before "--", not the
// name that --files-from takes.
Mode ModeOf(int argc, char** argv)
{
    Mode mode = Mode::Text;
    for (int i = 1; i < argc && !Is(argv[i], "--"); i++) {
        if (Is(argv[i], "--repair"))
            return Mode::Repair;
        if (Is(argv[i], "--embed"))
            return Mode::Embed;
        if (Is(argv[i], "--json") && mode == Mode::Text)
            mode = Mode::Json;
        if (Is(argv[i], "--records"))
            mode = Mode::Records;
        if (TakesName(argv[i]))
            i++;
    }
    return mode;
}

const char* ModeName(Mode mode)
{
    return mode == Mode::Repair    ? "--repair"
           : mode == Mode::Embed   ? "--embed"
           : mode == Mode::Records ? "--records"
                                   : "--json";
}

int UsageError(const char* message)
{
    fputs(message, stderr);
    return 2;
}

// --html FILE and --records RECORDS.
struct ReportNames {
    const char* html = nullptr;
    const char* records = nullptr;
};

// --records takes no file names: the report comes from the records alone.
int RecordsUsage(const FileListOptions& names, const ReportNames& report)
{
    if (!report.html)
        return UsageError("sondrel: Error: --records needs --html\n");
    if (!names.names.empty())
        return UsageError("sondrel: Error: --records reads no audio file: a report is made "
                          "from the records alone\n");
    return -1;
}

// The options of the other modes, which the text modes refuse.
bool IsBatchOption(const char* arg)
{
    return Is(arg, "--recursive") || Is(arg, "--files-from") || Is(arg, "-0");
}

// An option the mode does not take: the text modes' own, another mode's.
bool Foreign(Mode mode, const char* arg)
{
    if (IsTextOption(arg))
        return true;
    const bool batch = IsBatchOption(arg);
    const bool report = Is(arg, "--html") || Is(arg, "--records");
    switch (mode) {
    case Mode::Repair:
        return Is(arg, "--json") || Is(arg, "--loudness") || Is(arg, "--embed") || batch || report;
    case Mode::Embed:
        return Is(arg, "--json") || Is(arg, "--repair") || batch || report;
    case Mode::Records:
        // The records are read, not the audio: no option of the inspection.
        return Is(arg, "--json") || Is(arg, "--md5") || Is(arg, "--loudness") || batch;
    case Mode::Json:
    case Mode::Text:
        break;
    }
    return false;
}

// Parses a mode's arguments into `names`.  Returns -1 to go on, else the
// exit status of a usage error (nothing is read or written then).
int ParseModeArguments(Mode mode, int argc, char** argv, FileListOptions& names,
                       ReportNames& report)
{
    const char* foreign = nullptr; // the first one on the command line
    bool options = true;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (!options || arg[0] != '-') {
            names.names.push_back(arg);
        } else if (Is(arg, "--")) {
            options = false;
        } else if (Foreign(mode, arg)) {
            foreign = foreign ? foreign : arg;
            i += TakesName(arg) ? 1 : 0;
        } else if (Is(arg, "--recursive")) {
            names.recursive = true;
        } else if (Is(arg, "-0")) {
            names.nulSeparated = true;
        } else if (Is(arg, "--files-from")) {
            if (i + 1 == argc)
                return UsageError("sondrel: Error: --files-from needs a file name\n");
            names.lists.push_back(argv[++i]);
        } else if (Is(arg, "--html") || Is(arg, "--records")) {
            if (i + 1 == argc)
                return UsageError(Is(arg, "--html")
                                      ? "sondrel: Error: --html needs a file name\n"
                                      : "sondrel: Error: --records needs a file name\n");
            (Is(arg, "--html") ? report.html : report.records) = argv[++i];
        } else if (const int status = InfoOption(arg); status >= 0) {
            return status;
        } else if (!SetOption(arg)) {
            fprintf(stderr, "Unknown option '%s'\n", arg);
            return 2;
        }
    }
    if (foreign) {
        fprintf(stderr, "sondrel: Error: %s cannot be combined with %s\n", ModeName(mode), foreign);
        return 2;
    }
    if (mode == Mode::Records)
        return RecordsUsage(names, report);
    if (mode == Mode::Json && report.html && Is(report.html, "-"))
        return UsageError("sondrel: Error: --json writes its records to standard output: "
                          "--html needs a file name\n");
    if (names.nulSeparated && names.lists.empty())
        return UsageError("sondrel: Error: -0 needs --files-from\n");
    if (mode == Mode::Repair && names.names.size() != 2)
        return UsageError("sondrel: Error: --repair needs an input file and an output file\n");
    if (mode == Mode::Embed && !WantMD5 && !WantLoudness)
        return UsageError("sondrel: Error: --embed needs --md5 or --loudness\n");
    if (names.names.empty() && names.lists.empty())
        return UsageError("sondrel: Error: No audio file specified\n");
    return -1;
}

// The inspector's batch, and its report when asked for.
int RunInspection(FileListOptions names, const InspectOptions& options, const char* html)
{
    if (!html)
        return InspectBatch(std::move(names), options);
    HtmlReportFile report;
    if (!report.Open(html))
        return 2;
    const int status =
        InspectBatch(std::move(names), options, [&](const Record& r) { report.Add(r); });
    return report.Finish() ? status : 2;
}

int RunMode(Mode mode, int argc, char** argv)
{
    FileListOptions names;
    ReportNames report;
    if (const int status = ParseModeArguments(mode, argc, argv, names, report); status >= 0)
        return status;
    int status = 0;
    if (mode == Mode::Records) {
        status = RunRecordsReport(report.html, report.records);
    } else if (mode == Mode::Repair) {
        RepairOptions options;
        options.md5 = WantMD5 != 0;
        status = RunRepair(names.names[0], names.names[1], options);
    } else if (mode == Mode::Embed) {
        EmbedOptions options;
        options.md5 = WantMD5 != 0;
        options.loudness = WantLoudness != 0;
        status = RunEmbed({names.names.begin(), names.names.end()}, options);
    } else {
        InspectOptions options;
        options.md5 = WantMD5 != 0;
        options.loudness = WantLoudness != 0;
        status = RunInspection(std::move(names), options, report.html);
    }
    if (FlushStandardOutput() != 0 || RunStatus() != 0)
        status = std::max(status, mode == Mode::Json ? 1 : 2);
    return status;
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
}

int SondrelMain(int argc, char** argv)
{
    if (argc < 2) {
        fputs(Usage, stderr);
        return 1;
    }
    if (const Mode mode = ModeOf(argc, argv); mode != Mode::Text)
        return RunMode(mode, argc, argv);
    bool sawOption = false;
    bool sawBatchOption = false;
    bool sawHtml = false;
    const char* file = nullptr; // the text modes take the last file named
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (arg[0] != '-') {
            file = arg;
        } else if (SetOption(arg)) {
            sawOption = true;
        } else if (IsBatchOption(arg)) {
            sawBatchOption = true;
            i += Is(arg, "--files-from") ? 1 : 0;
        } else if (Is(arg, "--html")) {
            sawHtml = true;
            i++;
        } else if (const int status = InfoOption(arg); status >= 0) {
            return status;
        } else {
            fprintf(stderr, "Unknown option '%s'\n", arg);
            return 1;
        }
    }
    if (WantMD5 || WantLoudness) {
        fputs("sondrel: Error: --md5 and --loudness need --json\n", stderr);
        return 1;
    }
    if (sawBatchOption) {
        fputs("sondrel: Error: --recursive, --files-from and -0 need --json\n", stderr);
        return 1;
    }
    if (sawHtml) {
        fputs("sondrel: Error: --html needs --json or --records\n", stderr);
        return 1;
    }
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

} // namespace sondrel
