// The editing mode's arguments.
#include "cli/set_args.h"

#include <cstdio>
#include <cstring>

namespace sondrel
{

namespace
{

bool Is(const char* arg, const char* option)
{
    return strcmp(arg, option) == 0;
}

int UsageError(const char* message)
{
    fputs(message, stderr);
    return 2;
}

} // namespace

bool IsSetOption(const char* arg)
{
    return Is(arg, "--set") || Is(arg, "--set-from") || Is(arg, "--no-rewrite") ||
           Is(arg, "--dry-run");
}

int SetArgument(int argc, char** argv, int& i, SetArguments& set)
{
    const char* arg = argv[i];
    if (Is(arg, "--no-rewrite") || Is(arg, "--dry-run")) {
        (Is(arg, "--dry-run") ? set.options.dryRun : set.options.noRewrite) = true;
        return -1;
    }
    if (i + 1 == argc)
        return UsageError(Is(arg, "--set") ? "sondrel: Error: --set needs KEY=VALUE\n"
                                           : "sondrel: Error: --set-from needs a table\n");
    if (Is(arg, "--set-from")) {
        set.tables.push_back(argv[++i]);
        return -1;
    }
    Edit e;
    if (!SplitSetArgument(argv[++i], e))
        return UsageError("sondrel: Error: --set needs KEY=VALUE\n");
    if (const std::string why = LoadDocument(e); !why.empty()) {
        fprintf(stderr, "sondrel: Error: ixml: %s\n", why.c_str());
        return 2;
    }
    set.edits.push_back(std::move(e));
    return -1;
}

} // namespace sondrel
