// --set-from: a table of wanted values, a row per file.
#include "csv.h"
#include "status.h"
#include "write/edit.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace sondrel
{

namespace
{

bool ReadAll(const std::string& path, std::string& text)
{
    const int fd = path == "-" ? dup(STDIN_FILENO) : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[65536];
    ssize_t n = 0;
    while ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        text.append(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    const int err = errno;
    close(fd);
    errno = err;
    return n == 0;
}

int TableError(const std::string& table, const std::string& why)
{
    fprintf(stderr, "sondrel: Error: %s: %s\n", table.c_str(), why.c_str());
    return 2;
}

bool Blank(const std::vector<std::string>& row)
{
    return std::all_of(row.begin(), row.end(), [](const std::string& c) { return c.empty(); });
}

// The file a row names: path_bytes's bytes when it holds them, else path.
bool RowPath(const std::vector<std::string>& row, size_t path, std::optional<size_t> bytes,
             std::string& name)
{
    if (bytes && *bytes < row.size() && !row[*bytes].empty())
        return FromBase64(row[*bytes], name);
    name = path < row.size() ? Unguard(row[path]) : "";
    return true;
}

} // namespace

int RunSetFrom(const std::string& table, const SetOptions& options)
{
    std::string text;
    if (!ReadAll(table, text))
        return TableError(table, Reason("Can't read the table", errno));
    std::vector<std::vector<std::string>> rows;
    if (const std::string why = ParseCsv(text, rows); !why.empty())
        return TableError(table, "not CSV: " + why);
    if (rows.empty())
        return TableError(table, "no header row");
    const std::vector<std::string>& header = rows[0];
    const auto column = [&](const char* name) -> std::optional<size_t> {
        const auto it = std::find(header.begin(), header.end(), name);
        return it == header.end() ? std::nullopt : std::optional(size_t(it - header.begin()));
    };
    const std::optional<size_t> path = column("path"), bytes = column("path_bytes");
    if (!path)
        return TableError(table, "no path column");
    for (size_t i = 1; i < rows.size(); i++)
        if (rows[i].size() > header.size())
            return TableError(table,
                              "row " + std::to_string(i + 1) + " has more cells than the header");
    int status = 0;
    for (size_t i = 1; i < rows.size(); i++) {
        const std::vector<std::string>& row = rows[i];
        if (Blank(row))
            continue;
        std::vector<Edit> edits;
        for (size_t k = 0; k < row.size(); k++) {
            Edit e;
            e.key = header[k];
            e.kind = InfoOfKey(e.key).kind;
            e.value = Unguard(row[k]);
            e.fromTable = true;
            if (e.kind == KeyKind::Unknown || (e.kind == KeyKind::Ixml && e.value.empty()))
                continue; // other columns, and a document not given
            edits.push_back(std::move(e));
        }
        std::string name, why;
        const bool named = RowPath(row, *path, bytes, name);
        for (Edit& e : edits)
            if (why.empty())
                why = LoadDocument(e);
        Outcome o;
        if (named && why.empty()) {
            o = SetFile(name, edits, options);
        } else {
            o.path = named ? name : row[*bytes];
            o.mode = "set";
            o.listsChanges = true;
            Fail(o, named ? why : "The path_bytes cell is not base64");
        }
        if (!PrintOutcome(o))
            return 2;
        status = std::max(status, OutcomeStatus(o));
    }
    return status;
}

} // namespace sondrel
