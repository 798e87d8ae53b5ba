// The inspector's batch: records, progress, summary and exit status.
#include "cli/batch.h"

#include "cli/progress.h"
#include "csv.h"
#include "inspect/csv_record.h"
#include "status.h"

#include <cstdio>
#include <unistd.h>
#include <vector>

namespace sondrel {

namespace
{

struct Tally {
    size_t files = 0, clean = 0, warnings = 0, errors = 0, unreadable = 0;
    std::vector<size_t> perCode = std::vector<size_t>(AllFindingKinds().size());

    // Files, not findings: a file with three cue points past its end counts once.
    void AddCodes(const Record& r)
    {
        std::vector<bool> seen(perCode.size());
        for (const Finding& f : r.findings)
            seen[static_cast<size_t>(f.code)] = true;
        for (size_t i = 0; i < seen.size(); i++)
            perCode[i] += seen[i] ? 1 : 0;
    }

    void Add(InspectOutcome outcome)
    {
        files++;
        switch (outcome) {
        case InspectOutcome::Clean:
            clean++;
            break;
        case InspectOutcome::Warnings:
            warnings++;
            break;
        case InspectOutcome::Errors:
            errors++;
            break;
        case InspectOutcome::Unreadable:
            unreadable++;
            break;
        }
    }
};

void WriteSummary(const Tally& t)
{
    fprintf(stderr,
            "sondrel: %zu file%s: %zu clean, %zu with warnings, %zu with errors, "
            "%zu unreadable\n",
            t.files, t.files == 1 ? "" : "s", t.clean, t.warnings, t.errors, t.unreadable);
    // Then the files per finding code, errors first.
    for (const Severity severity : {Severity::Error, Severity::Warning, Severity::Info})
        for (const FindingKind& k : AllFindingKinds()) {
            const size_t n = t.perCode[static_cast<size_t>(k.code)];
            if (k.severity == severity && n > 0)
                fprintf(stderr, "sondrel: %s (%s): %zu file%s\n", k.text, SeverityText(severity), n,
                        n == 1 ? "" : "s");
        }
}

} // namespace

int InspectBatch(FileListOptions names, InspectOptions options,
                 const std::function<void(const Record&)>& seen)
{
    const bool terminal = isatty(STDERR_FILENO) != 0;
    // Records on the same terminal would land in the middle of the line.
    const bool draw = terminal && isatty(STDOUT_FILENO) == 0;
    FileList list(std::move(names));
    ProgressLine progress(draw, list.KnownCount());
    if (draw)
        options.progress = [&progress](const std::string& path, uint64_t done, uint64_t total) {
            progress.AudioRead(path, done, total);
        };
    Tally tally;
    if (options.csv) {
        const std::string header = CsvLine(CsvColumns());
        if (fwrite(header.data(), 1, header.size(), stdout) != header.size())
            ReportWriteFailure();
    }
    while (const FileEntry* entry = list.Next()) {
        const InspectOutcome outcome = InspectEntry(*entry, options, [&](const Record& r) {
            tally.AddCodes(r);
            if (seen)
                seen(r);
        });
        tally.Add(outcome);
        // The inspector's reads are quiet: only a failed write of a record
        // marks the run, and the other records would be lost as well.
        if (RunStatus() != 0)
            break;
        progress.FilesDone(tally.files);
    }
    progress.Erase();
    if (terminal)
        WriteSummary(tally);
    return tally.unreadable > 0 ? 2 : tally.errors > 0 ? 1 : 0;
}

} // namespace sondrel
