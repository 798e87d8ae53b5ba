// Command line and run control.
#pragma once

namespace sondrel {

// The usage text, written to standard error when no argument is given.
extern const char* const Usage;

// The full usage, every option, written to standard output by --help and -h.
extern const char* const Help;

// Sets the flag of a known option ("--fmt"); false for an unknown one.
bool SetOption(const char* arg);

// Clears every option flag, as at the start of a run.
void ClearOptions();

// Returns every piece of process-wide state to its start, as for a new
// process: the option flags and the run status.
void ResetRunState();

// Parses the arguments, runs the one file named (or the inspector over every
// name) and returns the exit status.
int SondrelMain(int argc, char** argv);

} // namespace sondrel
