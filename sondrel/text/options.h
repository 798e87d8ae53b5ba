// The text modes' options: one value a run, filled from the command line
// before the file is opened and handed to the walk with it.
#pragma once

namespace sondrel {

struct TextOptions {
    bool chunks = false;    // --chunks: a summary line a chunk
    bool rawChunks = false; // --rawchunks: the export, and nothing else
    bool fmt = false;       // --fmt
    bool bext = false;      // --bext
    bool ixml = false;      // --ixml
    bool data = false;      // --data: the audio to standard output
    bool mono = false;      // --mono: mixed to 16-bit mono first
    bool dryRun = false;    // --dryrun: read and mixed, not written
};

// Sets the option `arg` names ("--fmt"); false for a name that is not a text
// mode's option.
bool SetTextOption(TextOptions& options, const char* arg);

// Whether `arg` is one of the text modes' options.
bool IsTextOption(const char* arg);

} // namespace sondrel
