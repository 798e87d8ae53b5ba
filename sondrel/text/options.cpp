// The text modes' options.
#include "text/options.h"

#include <cstring>

namespace sondrel {

namespace
{

struct Name {
    const char* name;
    bool TextOptions::*flag;
};

// "--rawchunks" is deliberately left out of the usage text.
constexpr Name Names[] = {
    {"--chunks", &TextOptions::chunks}, {"--rawchunks", &TextOptions::rawChunks},
    {"--fmt", &TextOptions::fmt},       {"--bext", &TextOptions::bext},
    {"--ixml", &TextOptions::ixml},     {"--data", &TextOptions::data},
    {"--mono", &TextOptions::mono},     {"--dryrun", &TextOptions::dryRun},
};

} // namespace

bool SetTextOption(TextOptions& options, const char* arg)
{
    for (const Name& n : Names) {
        if (strcmp(arg, n.name) == 0) {
            options.*n.flag = true;
            return true;
        }
    }
    return false;
}

bool IsTextOption(const char* arg)
{
    TextOptions unused;
    return SetTextOption(unused, arg);
}

} // namespace sondrel
