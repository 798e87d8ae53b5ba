// The inspector's batch: records, progress, summary and exit status.
#include "cli/batch.h"

#include "status.h"

#include <chrono>
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

// "sondrel: 3 of 40 files", redrawn in place at most ten times a second: a
// terminal that is sent a line per file slows a fast batch down.
class Progress
{
  public:
    Progress(bool draw, std::optional<size_t> total) : draw_(draw), total_(total) {}

    void Update(size_t done)
    {
        if (!draw_)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (shown_ && now - last_ < std::chrono::milliseconds(100))
            return;
        last_ = now;
        shown_ = true;
        if (total_)
            fprintf(stderr, "\r\033[Ksondrel: %zu of %zu files", done, *total_);
        else
            fprintf(stderr, "\r\033[Ksondrel: %zu file%s so far", done, done == 1 ? "" : "s");
    }

    // Also erases a byte count that the inspection of a file drew.
    void Erase()
    {
        if (draw_)
            fputs("\r\033[K", stderr);
    }

  private:
    bool draw_;
    std::optional<size_t> total_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_;
};

void WriteSummary(const Tally& t)
{
    fprintf(stderr,
            "sondrel: %zu file%s: %zu clean, %zu with warnings, %zu with errors, "
            "%zu unreadable\n",
            t.files, t.files == 1 ? "" : "s", t.clean, t.warnings, t.errors, t.unreadable);
    const char* separator = "sondrel: files per finding code: ";
    for (size_t i = 0; i < t.perCode.size(); i++) {
        if (t.perCode[i] == 0)
            continue;
        fprintf(stderr, "%s%s %zu", separator, AllFindingKinds()[i].text, t.perCode[i]);
        separator = ", ";
    }
    if (*separator == ',')
        fputc('\n', stderr);
}

} // namespace

int InspectBatch(FileListOptions names, InspectOptions options,
                 const std::function<void(const Record&)>& seen)
{
    const bool terminal = isatty(STDERR_FILENO) != 0;
    // Records on the same terminal would land in the middle of the line.
    options.progress = terminal && isatty(STDOUT_FILENO) == 0;
    FileList list(std::move(names));
    Progress progress(options.progress, list.KnownCount());
    Tally tally;
    while (const FileEntry* entry = list.Next()) {
        tally.Add(InspectEntry(*entry, options, [&](const Record& r) {
            tally.AddCodes(r);
            if (seen)
                seen(r);
        }));
        // The inspector's reads are quiet: only a failed write of a record
        // marks the run, and the other records would be lost as well.
        if (RunStatus() != 0)
            break;
        progress.Update(tally.files);
    }
    progress.Erase();
    if (terminal)
        WriteSummary(tally);
    return tally.unreadable > 0 ? 2 : tally.errors > 0 ? 1 : 0;
}

} // namespace sondrel
