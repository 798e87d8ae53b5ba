// Command line: arguments to option flags, one file or the inspector's
// batch, the exit status.
#include "cli/cli.h"

#include "cli/batch.h"
#include "cli/set_args.h"
#include "cli/html_run.h"
#include "status.h"
#include "text/dump.h"
#include "write/embed.h"
#include "write/repair.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sondrel {

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

// The options beside the text modes' own; a mode's name sets no flag.
struct Option {
    const char* name;
    bool RunOptions::*flag;
};

constexpr Option Options[] = {
    {"--json", nullptr},   {"--md5", &RunOptions::md5}, {"--loudness", &RunOptions::loudness},
    {"--repair", nullptr}, {"--embed", nullptr},        {"--csv", nullptr},
    {"--signal", &RunOptions::signal}, {"--replace", &RunOptions::replace},
    {"--audio-to-end", &RunOptions::audioToEnd},
};

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

// The options that take the next argument as their value.
bool TakesName(const char* arg)
{
    return Is(arg, "--files-from") || Is(arg, "--html") || Is(arg, "--records") ||
           Is(arg, "--set") || Is(arg, "--set-from");
}

// The modes that take their own arguments.  A writing mode wins over --json
// (--repair with --json is a usage error of --repair); of the two writing
// modes, the first named.
enum class Mode { Text, Repair, Embed, Set, Json, Csv, Records };

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
        if (Is(argv[i], "--set") || Is(argv[i], "--set-from"))
            return Mode::Set;
        if (Is(argv[i], "--json") && mode == Mode::Text)
            mode = Mode::Json;
        if (Is(argv[i], "--csv") && mode == Mode::Text)
            mode = Mode::Csv;
        if (Is(argv[i], "--records"))
            mode = Mode::Records;
        if (TakesName(argv[i]))
            i++;
    }
    return mode;
}

const char* ModeName(Mode mode)
{
    switch (mode) {
    case Mode::Repair:
        return "--repair";
    case Mode::Embed:
        return "--embed";
    case Mode::Set:
        return "--set";
    case Mode::Csv:
        return "--csv";
    case Mode::Records:
        return "--records";
    default:
        return "--json";
    }
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
    const bool inspector = Is(arg, "--json") || Is(arg, "--csv");
    const bool writerOnly = Is(arg, "--replace") || Is(arg, "--audio-to-end");
    const bool report = Is(arg, "--html") || Is(arg, "--records");
    switch (mode) {
    case Mode::Repair:
        return inspector || Is(arg, "--loudness") || Is(arg, "--embed") ||
               Is(arg, "--signal") || Is(arg, "--replace") || IsSetOption(arg) || batch ||
               report;
    case Mode::Embed:
        return inspector || Is(arg, "--repair") || Is(arg, "--signal") ||
               Is(arg, "--audio-to-end") || IsSetOption(arg) || batch || report;
    case Mode::Set:
        return inspector || Is(arg, "--md5") || Is(arg, "--loudness") || Is(arg, "--signal") ||
               Is(arg, "--repair") || Is(arg, "--embed") || writerOnly || batch || report;
    case Mode::Records:
        // The records are read, not the audio: no option of the inspection.
        return inspector || Is(arg, "--md5") || Is(arg, "--loudness") || Is(arg, "--signal") ||
               writerOnly || IsSetOption(arg) || batch;
    case Mode::Json:
        return Is(arg, "--csv") || IsSetOption(arg) || writerOnly;
    case Mode::Csv:
        return Is(arg, "--json") || IsSetOption(arg) || writerOnly;
    case Mode::Text:
        break;
    }
    return false;
}

// Parses a mode's arguments into `names`.  Returns -1 to go on, else the
// exit status of a usage error (nothing is read or written then).
int ParseModeArguments(Mode mode, int argc, char** argv, FileListOptions& names, RunOptions& run,
                       SetArguments& set, ReportNames& report)
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
        } else if (IsSetOption(arg)) {
            if (const int status = SetArgument(argc, argv, i, set); status >= 0)
                return status;
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
        } else if (!SetOption(run, arg)) {
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
    if (mode == Mode::Csv && report.html && Is(report.html, "-"))
        return UsageError("sondrel: Error: --csv writes its rows to standard output: "
                          "--html needs a file name\n");
    if (names.nulSeparated && names.lists.empty())
        return UsageError("sondrel: Error: -0 needs --files-from\n");
    if (mode == Mode::Repair && names.names.size() != 2)
        return UsageError("sondrel: Error: --repair needs an input file and an output file\n");
    if (mode == Mode::Embed && !run.md5 && !run.loudness)
        return UsageError("sondrel: Error: --embed needs --md5 or --loudness\n");
    if (mode == Mode::Set && !set.tables.empty()) {
        if (set.tables.size() > 1 || !set.edits.empty() || !names.names.empty())
            return UsageError("sondrel: Error: --set-from takes one table and no --set or file\n");
        return -1;
    }
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
    RunOptions run;
    SetArguments set;
    ReportNames report;
    if (const int status = ParseModeArguments(mode, argc, argv, names, run, set, report);
        status >= 0)
        return status;
    int status = 0;
    if (mode == Mode::Records) {
        status = RunRecordsReport(report.html, report.records);
    } else if (mode == Mode::Set && !set.tables.empty()) {
        status = RunSetFrom(set.tables[0], set.options);
    } else if (mode == Mode::Set) {
        status = RunSet({names.names.begin(), names.names.end()}, set.edits, set.options);
    } else if (mode == Mode::Repair) {
        RepairOptions options;
        options.md5 = run.md5;
        options.audioToEnd = run.audioToEnd;
        status = RunRepair(names.names[0], names.names[1], options);
    } else if (mode == Mode::Embed) {
        EmbedOptions options;
        options.md5 = run.md5;
        options.loudness = run.loudness;
        options.replace = run.replace;
        status = RunEmbed({names.names.begin(), names.names.end()}, options);
    } else {
        InspectOptions options;
        options.md5 = run.md5;
        options.loudness = run.loudness;
        options.signal = run.signal;
        options.csv = mode == Mode::Csv;
        status = RunInspection(std::move(names), options, report.html);
    }
    if (FlushStandardOutput() != 0 || RunStatus() != 0)
        status = std::max(status, mode == Mode::Json || mode == Mode::Csv ? 1 : 2);
    return status;
}

} // namespace

bool SetOption(RunOptions& options, const char* arg)
{
    if (SetTextOption(options.text, arg))
        return true;
    for (const Option& option : Options) {
        if (strcmp(arg, option.name) == 0) {
            if (option.flag)
                options.*option.flag = true;
            return true;
        }
    }
    return false;
}

void ResetRunState()
{
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
    RunOptions options;
    bool sawOption = false;
    bool sawBatchOption = false;
    bool sawHtml = false;
    const char* file = nullptr; // the text modes take the last file named
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (arg[0] != '-') {
            file = arg;
        } else if (SetOption(options, arg)) {
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
    if (options.md5 || options.loudness) {
        fputs("sondrel: Error: --md5 and --loudness need --json\n", stderr);
        return 1;
    }
    if (options.signal) {
        fputs("sondrel: Error: --signal needs --json or --csv\n", stderr);
        return 1;
    }
    if (options.replace || options.audioToEnd) {
        fputs("sondrel: Error: --replace needs --embed and --audio-to-end needs --repair\n", stderr);
        return 1;
    }
    if (sawBatchOption) {
        fputs("sondrel: Error: --recursive, --files-from and -0 need --json\n", stderr);
        return 1;
    }
    if (sawHtml) {
        fputs("sondrel: Error: --html needs --json, --csv or --records\n", stderr);
        return 1;
    }
    if (!sawOption)
        options.text.chunks = true;
    if (!file) {
        fputs("sondrel: Error: No audio file specified\n", stderr);
        return 1;
    }
    DumpWaveFile(file, options.text);
    int status = RunStatus();
    if (FlushStandardOutput() != 0)
        status = 1;
    return status;
}

} // namespace sondrel
