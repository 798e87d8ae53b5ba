// The --embed tests' table of cases, shared by the files that run it: what
// each case's run writes and leaves alone.
#pragma once

#include "repair_checks.h"
#include "run_tool.h"

#include <string>
#include <vector>

namespace embedtable
{

extern const std::string Fmt, Audio, Short, Data, Z16, Z20;

// The raw 16-byte digest of `audio`.
std::string RawMd5(const std::string& audio);
// A bext chunk of `version`, with a description, date, UMID and history.
std::string Bext(uint16_t version);
// An RF64 file of Fmt and Audio.
std::string Rf64();
// The file with its RIFF size 0.
std::string RiffSize0(std::string file);

enum class Holder { None, Nobody, Locked }; // run as an ordinary user; the file locked

struct EmbedCase {
    std::string what, file, options; // "--md5 --loudness"
    std::string status;              // embedded, unchanged, refused, error
    std::vector<std::string> writes; // the `what` of each, in order
    Holder holder = Holder::None;
};

std::vector<EmbedCase> Cases();
// The case named `what`.
const EmbedCase& Named(const std::string& what);

// The command line of a case's run on `path`.
std::vector<std::string> Args(const EmbedCase& c, const std::string& path,
                              const char* mode = "--embed");
// The exit status of a status.
int ExitOf(const std::string& status);
// The case run under strace, with `more` of its options (what it traces).
RunResult Traced(const EmbedCase& c, const std::string& path, const std::string& trace,
                 const std::vector<std::string>& more);

} // namespace embedtable
