// Command line and run control.
#pragma once

#include "text/options.h"

namespace sondrel {

// The usage text, written to standard error when no argument is given.
extern const char* const Usage;

// The full usage, every option, written to standard output by --help and -h.
extern const char* const Help;

// The options of a run, as the command line sets them: the text modes'
// own, and those of the inspector and the writers.  The modes' names
// (--json, --repair, --embed) are known but set nothing: the mode is found
// among the arguments first.
struct RunOptions {
    TextOptions text;
    bool md5 = false;
    bool loudness = false;
    bool signal = false;
    bool replace = false;    // --embed: overwrite a differing MD5 or loudness
    bool audioToEnd = false; // --repair: the bytes after the data body are audio
};

// Sets the flag of a known option ("--fmt") in `options`; false for an
// unknown one.
bool SetOption(RunOptions& options, const char* arg);

// Returns every piece of process-wide state to its start, as for a new
// process: the run status.
void ResetRunState();

// Parses the arguments, runs the one file named (or the inspector over every
// name) and returns the exit status.
int SondrelMain(int argc, char** argv);

} // namespace sondrel
