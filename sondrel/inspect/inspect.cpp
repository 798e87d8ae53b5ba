// The inspector: one file at a time, the one walker, then its chunks.
#include "inspect/inspect.h"

#include "csv.h"
#include "inspect/cross_checks.h"
#include "inspect/csv_record.h"
#include "inspect/identify.h"
#include "inspect/measured.h"
#include "inspect/metadata.h"
#include "inspect/record_writer.h"
#include "inspect/structure.h"
#include "status.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sondrel {

namespace
{

// The record of a file that could not be inspected: nothing but the reason.
// `what` names what the file is instead, for not-wave.
void FailRecord(Record& r, std::string reason, bool notWave, const std::string& what = {})
{
    Record failed;
    failed.path = std::move(r.path);
    failed.container = r.container;
    failed.fileBytes = r.fileBytes;
    failed.error = std::move(reason);
    if (notWave)
        AddFileFinding(failed.findings, Code::NotWave,
                       "The file is not a RIFF, RF64 or BW64 WAVE file" +
                           (what.empty() ? "" : ": it is " + what) + ".");
    r = std::move(failed);
}

std::string WhatItIs(FileWalk& f)
{
    unsigned char head[IdentifyBytes];
    return IdentifyFile(head, f.Read(0, head, sizeof head));
}

// Opens without blocking on a FIFO; only files that can be read at offsets
// are inspected.  Returns -1 with the reason set.
int OpenForInspection(const FileEntry& entry, uint64_t& length, std::string& reason)
{
    const int fd = OpenEntry(entry, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        reason = Reason("Can't open file for reading", errno);
        return -1;
    }
    struct stat st {
    };
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || S_ISFIFO(st.st_mode) ||
        S_ISSOCK(st.st_mode)) {
        const int error = S_ISDIR(st.st_mode) ? EISDIR : ESPIPE;
        reason = Reason("Can't read file", error);
        close(fd);
        return -1;
    }
    if (S_ISREG(st.st_mode)) {
        length = static_cast<uint64_t>(st.st_size);
        char probe = 0;
        if (length == 0 && pread(fd, &probe, 1, 0) == 1) {
            // A file of /proc says 0 and then has bytes: its length is unknown.
            reason = "Can't read file: its length is not known";
            close(fd);
            return -1;
        }
    } else {
        const off_t end = lseek(fd, 0, SEEK_END); // a block device says its size this way
        length = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
    return fd;
}

void Describe(Record& r, FileWalk& f, const InspectOptions& o)
{
    r.chunks = std::move(f.chunks);
    const Singles s = FindSingles(r.chunks);
    if (s.fmt)
        r.format = ReadFormat(f, *s.fmt);
    DescribeStructure(r, f, s);
    DescribeFormatAndAudio(r, f, s);
    DescribeMetadata(r, f, s);
    CheckAcrossChunks(r, f, s);
    const uint64_t total = r.audio ? r.audio->bytesInFile : 0;
    std::function<void(uint64_t)> progress;
    if (o.progress)
        progress = [&](uint64_t done) { o.progress(r.path, done, total); };
    if (const int e = MeasureRecord(r, f.fd, o, progress).result.readError)
        f.readError = e;
    r.walked = Container{f.rf64, f.riffEnd, std::move(f.ds64), std::move(f.notes)};
}

} // namespace

Record InspectFile(const FileEntry& entry, const InspectOptions& o)
{
    Record r;
    r.path = entry.path;
    if (!entry.problem.empty()) {
        FailRecord(r, entry.problem, false);
        return r;
    }
    uint64_t length = 0;
    std::string reason;
    const int fd = OpenForInspection(entry, length, reason);
    if (fd < 0) {
        FailRecord(r, reason, false);
        return r;
    }
    r = InspectDescriptor(fd, length, std::move(r.path), o);
    close(fd);
    return r;
}

Record InspectDescriptor(int fd, uint64_t fileBytes, std::string path, const InspectOptions& o)
{
    Record r;
    r.path = std::move(path);
    r.fileBytes = fileBytes;
    FileWalk f = WalkFile(fd, fileBytes);
    if (f.magic != FourCC{})
        r.container = f.magic;
    if (f.isWave)
        Describe(r, f, o);
    const std::string what = f.isWave || f.readError != 0 ? "" : WhatItIs(f);
    if (f.readError != 0)
        FailRecord(r, Reason("Can't read file", f.readError), false);
    else if (!f.isWave)
        FailRecord(r, "Not a WAVE file", true, what);
    SortFindings(r.findings);
    return r;
}

Record InspectOpen(int fd)
{
    // Through the descriptor: the file inspected is the one open, whatever
    // its name points to meanwhile.
    struct stat st {
    };
    if (fstat(fd, &st) != 0) {
        Record r;
        r.error = Reason("Can't read file", errno);
        return r;
    }
    return InspectDescriptor(fd, static_cast<uint64_t>(st.st_size), "", InspectOptions{});
}

std::string InspectRecordLine(const char* path, const InspectOptions& options, bool* failed)
{
    const Record r = InspectFile(NamedEntry(path), options);
    *failed = r.HasError();
    std::string line;
    JsonWriter writer(line);
    WriteRecord(writer, r);
    return line;
}

InspectOutcome OutcomeOf(const Record& r)
{
    const bool errors = HasErrorFinding(r.findings);
    if (r.error && !errors) // not opened or not read; not-wave is an error finding
        return InspectOutcome::Unreadable;
    if (errors)
        return InspectOutcome::Errors;
    const bool warnings = std::any_of(r.findings.begin(), r.findings.end(), [](const Finding& f) {
        return f.Kind().severity == Severity::Warning;
    });
    return warnings ? InspectOutcome::Warnings : InspectOutcome::Clean;
}

InspectOutcome InspectEntry(const FileEntry& entry, const InspectOptions& options,
                            const std::function<void(const Record&)>& seen)
{
    const Record r = InspectFile(entry, options);
    if (options.csv) {
        const std::string line = CsvLine(CsvCells(r));
        if (fwrite(line.data(), 1, line.size(), stdout) != line.size())
            ReportWriteFailure();
        if (seen)
            seen(r);
        return OutcomeOf(r);
    }
    std::string text;
    // Written out as it grows: a record with a long track list is not held whole.
    JsonWriter writer(text, stdout);
    WriteRecord(writer, r);
    text += '\n';
    if (!writer.Flush())
        ReportWriteFailure();
    if (seen)
        seen(r);
    return OutcomeOf(r);
}

} // namespace sondrel
