// What a writing mode did to one file, and its JSON line (JSON Lines, one
// per file): the record of the change, byte ranges included.
#pragma once

#include "inspect/findings.h"
#include "inspect/record.h"
#include "measure/audio_read.h"
#include "write/durable.h"
#include "write/plan.h"

#include <optional>
#include <string>
#include <vector>

namespace sondrel {

// How a file's run ended.
enum class WriteStatus { Repaired, Unchanged, Embedded, Edited, Planned, Refused, Error };

// As the JSON line gives it: "repaired", "unchanged", ...
const char* StatusText(WriteStatus status);

struct Outcome {
    std::string path;
    std::string mode; // "repair", "embed", "set"
    WriteStatus status = WriteStatus::Error;
    std::optional<std::string> reason;
    std::optional<std::string> output;
    std::vector<Code> findingsBefore, findingsAfter;
    std::vector<ByteRange> writes, dropped; // in the order made; input bytes not copied
    std::optional<ByteRange> audio;         // in the written file
    std::optional<std::string> md5;         // upper-case hex
    std::optional<LoudnessFigures> loudness;
    // With --set and --embed --replace: how the file was written
    // ("in-place", "rewrite", or none when nothing was) and what changed.
    bool listsChanges = false;
    std::optional<std::string> method;
    std::vector<Change> changes;
};

// The line, without its newline; keys in the order scripts rely on.
std::string OutcomeLine(const Outcome& o);

// 0 repaired, unchanged or embedded; 1 refused; 2 error.
int OutcomeStatus(const Outcome& o);

// Writes the line and its newline to standard output; false, reported, when
// that failed (the run then stops: the lines after would be lost as well).
bool PrintOutcome(const Outcome& o);

// A refusal or an error with its reason.
void Refuse(Outcome& o, std::string reason);
void Fail(Outcome& o, std::string reason);

// The inspector's verdict before a file is written in place (--embed, --set):
// a file it could not read fails, one that is not WAVE, has an error finding
// or is an unfinalised recording is refused.  True when it may be written.
bool MayWriteInPlace(Outcome& o, const Record& r);

// The outcome's file opened for writing and locked for the run; false, the
// outcome failed with the reason, when it could not be.
bool OpenLocked(Outcome& o, Descriptor& file, struct stat& st);

} // namespace sondrel
