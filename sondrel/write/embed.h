// sondrel --embed [--md5] [--loudness] FILE...: the audio's MD5 and loudness
// stored in each file itself, written in place in the few ways that leave
// the file whole at any instant of a crash.
#pragma once

#include "write/outcome.h"

#include <string>
#include <vector>

namespace sondrel {

struct EmbedOptions {
    bool md5 = false;      // the audio's MD5 in an MD5 chunk
    bool loudness = false; // its EBU R 128 loudness in bext version 2
    bool replace = false;  // a differing stored MD5 or loudness is overwritten
};

// Embeds into one file and says what was done.
Outcome Embed(const std::string& path, const EmbedOptions& options);

// Embed for each file, its JSON line on standard output as it is done;
// returns the exit status (2 wins over 1).
int RunEmbed(const std::vector<std::string>& paths, const EmbedOptions& options);

} // namespace sondrel
