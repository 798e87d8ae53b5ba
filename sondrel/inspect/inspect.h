// The inspector: one record per file (JSON Lines) with the file's structure,
// metadata and findings, and with --md5 / --loudness the audio measured
// against what the file claims.
#pragma once

#include "inspect/record.h"

#include <string>
#include <vector>

// Inspects the file at `path`: opens it read-only, walks it, describes its
// chunks and measures its audio as asked.  Never fails: a file that cannot
// be inspected gets a record with an error.
Record InspectFile(const char* path, const InspectOptions& options);

// The record of one file as one line of JSON, without the newline.  Sets
// *failed when the file could not be inspected or has an error finding.
std::string InspectRecordLine(const char* path, const InspectOptions& options, bool* failed);

// Writes the record of every file, in order, to standard output.  Returns
// the exit status: 0 when every file was inspected without an error finding.
int InspectFiles(const std::vector<const char*>& paths, const InspectOptions& options);
