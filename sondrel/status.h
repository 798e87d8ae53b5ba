// The run status that every reported failure marks, and the fatal stop.
#pragma once

#include <string>

namespace sondrel {

// "WHAT: the system's text for ERROR", the reason a record or a JSON line
// gives for a failed step.
std::string Reason(const char* what, int error);

// Reports `label` with the system's text for errno, in the perror form, and
// marks the run as failed (exit status 1).
void ReportError(const char* label);

// Marks the run as failed without a message of its own.
void NoteFailure();

// Reports a failed write to standard output as "Writing output file" with
// the system's text, once per run: a full disk or a closed descriptor fails
// every later write as well, and one message says it.  Clears the stream's
// error mark, so a later flush reports only a new failure.
void ReportWriteFailure();

// Ends the process with status 1 after a fatal condition (its message already
// written).  A fuzzing harness sets FatalStopHook to regain control instead;
// the program itself never sets it.
[[noreturn]] void FatalStop();
extern void (*FatalStopHook)();

// 0 while every step succeeded, 1 after any reported failure.
int RunStatus();

// Forgets the run's failures and the "write failure reported" mark.
void ResetRunStatus();

} // namespace sondrel
