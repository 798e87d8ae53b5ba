// The --embed cases the embed tests share, and what every embedded file
// must hold to: its audio where it was and byte-equal, no error finding, a
// second run that changes nothing.
#pragma once

#include "repair_checks.h"
#include "run_tool.h"

#include <string>
#include <vector>

enum class Holder { None, Nobody, Locked }; // run as an ordinary user; the file locked

struct EmbedCase {
    std::string what;
    std::string file;
    std::vector<std::string> options; // --md5, --loudness
    std::string status;               // embedded, unchanged, refused, error
    std::vector<std::string> writes;  // the `what` of each write, in order
    Holder holder = Holder::None;
};

std::vector<EmbedCase> EmbedCases();

// --embed, the case's options and `path`.
std::vector<std::string> EmbedArgs(const EmbedCase& c, const std::string& path);
int ExitOf(const std::string& status);

// A write as a clean run made it, its bytes included.
struct MadeWrite {
    uint64_t offset = 0;
    std::string bytes;
};

// The writes of a clean run of `args` (strace's record of its pwrite64
// calls); the file is `original` before and after.
std::vector<MadeWrite> CleanRunWrites(const std::vector<std::string>& args, const std::string& path,
                                      const std::string& original);

// The file after each prefix of `writes`: the original first, the finished
// file last.
std::vector<std::string> PrefixStates(const std::string& original,
                                      const std::vector<MadeWrite>& writes);

// `--json` on `path` finds no error, and its audio is `audio`, at `offset`.
void ExpectAudioIntact(const std::string& path, uint64_t offset, const std::string& audio);
