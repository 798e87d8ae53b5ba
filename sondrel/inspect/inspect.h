// The inspector: one record per file (JSON Lines) with the file's structure,
// metadata and findings, and with --md5 / --loudness the audio measured
// against what the file claims.
#pragma once

#include "file_entry.h"
#include "inspect/record.h"

#include <functional>
#include <string>

namespace sondrel {

// Inspects one file: opens it read-only, walks it, describes its chunks and
// measures its audio as asked.  Never fails: a file that cannot be
// inspected gets a record with an error.
Record InspectFile(const FileEntry& entry, const InspectOptions& options);

// Inspects the file open on `fd`, `fileBytes` long, as it is now: the
// record the writers plan from, its walked chunks and container included.
// `path` only names it in the record.
Record InspectDescriptor(int fd, uint64_t fileBytes, std::string path,
                         const InspectOptions& options);

// The inspector's record of the file open on `fd`, as it is now (its
// length from fstat): the record the writers plan from and check their
// work by, its walked chunks and headers, the audio not read.
Record InspectOpen(int fd);

// The record of one file as one line of JSON, without the newline.  Sets
// *failed when the file could not be inspected or has an error finding.
std::string InspectRecordLine(const char* path, const InspectOptions& options, bool* failed);

// What a record says, for the exit status and a closing summary.
enum class InspectOutcome {
    Clean,      // no finding above info
    Warnings,   // a warning finding, no error
    Errors,     // an error finding (not-wave included)
    Unreadable, // could not be opened, listed or read
};

InspectOutcome OutcomeOf(const Record& r);

// Inspects one file, writes its record and a newline to standard output,
// then shows the record to `seen` when given.
InspectOutcome InspectEntry(const FileEntry& entry, const InspectOptions& options,
                            const std::function<void(const Record&)>& seen = {});

} // namespace sondrel
