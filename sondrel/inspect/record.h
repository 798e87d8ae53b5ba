// The inspector: one JSON record per file (JSON Lines) with the file's
// structure, metadata and findings, and with --md5 / --loudness the audio
// measured against what the file claims.
#pragma once

#include <string>

struct InspectOptions {
    bool md5 = false;
    bool loudness = false;
    bool progress = false; // a progress line on standard error (a terminal)
};

// The record of one file as one line of JSON, without the newline.  Sets
// *failed when the file could not be inspected or has an error finding.
std::string InspectRecordLine(const char* path, const InspectOptions& options, bool* failed);

struct FileEntry;

// What a record says, for the exit status and a closing summary.
enum class InspectOutcome {
    Clean,      // no finding above info
    Warnings,   // a warning finding, no error
    Errors,     // an error finding (not-wave included)
    Unreadable, // could not be opened, listed or read
};

// Inspects one file and writes its record and a newline to standard output.
InspectOutcome InspectEntry(const FileEntry& entry, const InspectOptions& options);
