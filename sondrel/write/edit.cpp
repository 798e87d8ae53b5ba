// The edit run: open and lock, inspect, plan, check, then write in place or
// rewrite through a temporary file; inspect what was written.
#include "write/edit.h"

#include "file_text.h"
#include "inspect/csv_record.h"
#include "inspect/inspect.h"
#include "inspect/measured.h"
#include "io.h"
#include "status.h"
#include "write/check_in_place.h"
#include "write/check_new_file.h"
#include "write/durable.h"
#include "write/temporary_file.h"
#include "write/edit_plan.h"
#include "write/in_place.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace sondrel
{

namespace
{

void NoteChanges(Outcome& o, const std::vector<Change>& changes)
{
    o.changes.insert(o.changes.end(), changes.begin(), changes.end());
}

void Planned(Outcome& o, const Plan& plan)
{
    for (const Piece& p : plan.pieces)
        o.writes.push_back({p.offset, p.bytes, p.what});
}

// The new file shows every edited field as asked and no finding the
// original lacked.
std::string Verify(const EditPlan& e, Record& after, const Outcome& o)
{
    if (after.error)
        return "The written file cannot be inspected";
    for (const Code code : CodesOf(after.findings))
        if (std::find(o.findingsBefore.begin(), o.findingsBefore.end(), code) ==
            o.findingsBefore.end())
            return std::string("The written file has the new finding ") + KindOf(code).text;
    for (const auto& [key, cell] : e.readBack) {
        const bool same = key == "ixml" ? after.ixml && after.ixml->bytes == cell.size()
                                        : EditableCell(after, key).value_or("") == cell;
        if (!same)
            return "The written file does not read back " + key + " as set";
    }
    return "";
}

bool Unchanged(int fd, const struct stat& before, const Snapshot& snapshot)
{
    struct stat now {
    };
    return fstat(fd, &now) == 0 && now.st_size == before.st_size &&
           now.st_mtim.tv_sec == before.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == before.st_mtim.tv_nsec && snapshot.Holds(fd);
}

void Rewrite(Outcome& o, const EditPlan& e, int fd, const struct stat& st, const Snapshot& snap,
             const OutPath& where, int folder)
{
    if (const std::string why =
            CheckNewFile(e.plan, static_cast<uint64_t>(st.st_size), FileReader(fd));
        !why.empty())
        return Fail(o, "The planned file failed its check: " + why);
    TemporaryFile t(folder, where.name);
    if (const int err = t.Create())
        return Fail(o, Reason("Can't create a temporary file", err));
    const char* step = "write";
    int err = WritePlan(e.plan, fd, t.fd(), &step);
    if (err == 0 && ftruncate(t.fd(), static_cast<off_t>(e.plan.length)) != 0)
        err = errno;
    if (err != 0)
        return Fail(o, Reason("Can't write the temporary file", err));
    Record after = InspectOpen(t.fd());
    if (const std::string why = Verify(e, after, o); !why.empty())
        return Fail(o, why);
    if (!Unchanged(fd, st, snap))
        return Refuse(o, "The file changed while it was rewritten");
    // The rename replaces whatever the name holds now: it must be this file
    // itself, not a link to it (the link would become a copy, the file stay
    // as it was) nor another file put there meanwhile.
    struct stat named {
    };
    if (fstatat(folder, where.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        named.st_dev != st.st_dev || named.st_ino != st.st_ino)
        return Refuse(o, "The name does not name the file itself (a symbolic link, or moved "
                         "meanwhile): a rewrite would replace the name, not the file");
    if (const int failed = CopyExtendedAttributes(fd, t.fd()))
        return Fail(o, Reason("Can't give the new file the extended attributes", failed));
    if (fchown(t.fd(), st.st_uid, st.st_gid) != 0 && errno != EPERM)
        return Fail(o, Reason("Can't give the new file the owner", errno));
    if (fchmod(t.fd(), st.st_mode & 07777) != 0)
        return Fail(o, Reason("Can't give the new file the permissions", errno));
    bool published = false;
    err = t.Replace(&step, &published);
    if (published) {
        o.status = WriteStatus::Edited;
        o.method = "rewrite";
        Planned(o, e.plan);
        o.audio = ByteRange{e.plan.audio.offset, e.plan.audio.bytes, ""};
        o.findingsAfter = CodesOf(after.findings);
    }
    if (err != 0)
        Fail(o, Reason((std::string("Can't ") + step + " the new file").c_str(), err));
}

void InPlaceEdit(Outcome& o, const EditPlan& e, const EditState& s, int fd, const struct stat& st,
                 Snapshot& snap)
{
    if (const std::string why = CheckInPlace(e.plan, s.fileBytes, FileReader(fd), EditRules);
        !why.empty())
        return Fail(o, "The planned writes failed their check: " + why);
    InPlaceWriter writer(fd, snap, st);
    const InPlaceResult result = writer.Write(e.plan);
    o.writes = writer.Writes();
    if (result == InPlaceResult::Written) {
        o.status = WriteStatus::Edited;
        o.method = "in-place";
    } else if (result == InPlaceResult::Changed) {
        Refuse(o, writer.Problem());
    } else {
        Fail(o, writer.Problem());
    }
    if (!o.writes.empty()) {
        Record after = InspectOpen(fd);
        o.findingsAfter = CodesOf(after.findings);
    }
}

// The names in a folder that look like temporary files of this program,
// listed once per folder and run: a table of 10,000 files in one folder must
// not list it 10,000 times.
bool MayHaveTemporaries(const std::string& folder, const std::string& name)
{
    static std::map<std::string, std::vector<std::string>> listed;
    auto it = listed.find(folder);
    if (it == listed.end()) {
        std::vector<std::string> names;
        if (DIR* dir = opendir(folder.c_str())) {
            while (const dirent* e = readdir(dir))
                if (e->d_name[0] == '.' && strstr(e->d_name, ".sondrel-"))
                    names.emplace_back(e->d_name);
            closedir(dir);
        }
        it = listed.emplace(folder, std::move(names)).first;
    }
    const std::string prefix = "." + name + ".sondrel-";
    return std::any_of(it->second.begin(), it->second.end(),
                       [&](const std::string& n) { return n.starts_with(prefix.substr(0, 201)); });
}

void EditOpen(Outcome& o, const std::vector<Edit>& edits, const SetOptions& options, int fd,
              const struct stat& st, const OutPath& where, int folder)
{
    Record r = InspectOpen(fd);
    o.findingsBefore = CodesOf(r.findings);
    for (const Edit& e : edits)
        if (const std::string why = CheckEdit(e); !why.empty())
            return Refuse(o, why);
    if (r.error)
        return void(MayWriteInPlace(o, r));
    if (r.audio)
        o.audio = ByteRange{r.audio->offset, r.audio->bytesInFile, ""};
    const auto size = static_cast<uint64_t>(st.st_size);
    Snapshot snap;
    if (const int err = snap.Read(fd, EditReads(r, size)))
        return Fail(o, Reason("Can't read file", err));
    const EditReader read = [&snap](uint64_t offset, void* buffer, size_t count) {
        return snap.Get(offset, buffer, count);
    };
    const EditState s = LoadState(r, size, read);
    const EditPlan e = PlanEdit(s, edits, read);
    // A table read back as --csv wrote it changes nothing, damaged files included.
    if (e.changes.empty() && e.plan.pieces.empty() && e.refusal.empty()) {
        o.status = WriteStatus::Unchanged;
        return;
    }
    if (!MayWriteInPlace(o, r))
        return;
    const bool rewrite = !e.rewriteReason.empty();
    if (!e.refusal.empty())
        return Refuse(o, e.refusal);
    if (rewrite && options.noRewrite)
        return Refuse(o, "The edit needs a rewrite (" + e.rewriteReason +
                             ") and --no-rewrite was given");
    if (rewrite && st.st_nlink > 1)
        return Refuse(o, "The edit needs a rewrite (" + e.rewriteReason +
                             ") and the file has several hard links");
    if (e.plan.pieces.empty()) {
        o.status = WriteStatus::Unchanged;
        return;
    }
    if (options.dryRun) {
        o.status = WriteStatus::Planned;
        o.method = rewrite ? "rewrite" : "in-place";
        Planned(o, e.plan);
    } else if (rewrite) {
        Rewrite(o, e, fd, st, snap, where, folder);
    } else {
        InPlaceEdit(o, e, s, fd, st, snap);
    }
    if (o.method) // written, or planned: what a refusal leaves alone is no change
        NoteChanges(o, e.changes);
}

} // namespace

Outcome SetFile(const std::string& path, const std::vector<Edit>& edits, const SetOptions& options)
{
    Outcome o;
    o.path = path;
    o.mode = "set";
    o.listsChanges = true;
    OutPath where;
    Descriptor folder, file;
    struct stat st {
    };
    if (!SplitOutPath(path, where)) {
        Fail(o, "The path names no file");
    } else if ((folder.fd = open(where.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0) {
        Fail(o, Reason("Can't open the file's folder", errno));
    } else if (OpenLocked(o, file, st)) {
        if (MayHaveTemporaries(where.folder, where.name))
            RemoveStaleTemporaries(folder.fd, where.name); // a killed rewrite's leftovers
        EditOpen(o, edits, options, file.fd, st, where, folder.fd);
    }
    if (o.status == WriteStatus::Edited && o.findingsAfter.empty() && o.writes.empty())
        o.findingsAfter = o.findingsBefore;
    if (o.status != WriteStatus::Edited && o.writes.empty())
        o.findingsAfter = o.findingsBefore; // untouched
    return o;
}

std::string LoadDocument(Edit& e)
{
    if (e.kind != KeyKind::Ixml)
        return "";
    if (!e.value.starts_with("@"))
        return "the value of ixml is @PATH, the file that holds the document";
    const std::string path = e.value.substr(1);
    const int fd = path == "-" ? dup(STDIN_FILENO) : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return Reason(("Can't open " + path).c_str(), errno);
    std::string doc;
    char buffer[65536];
    ssize_t n = 0;
    while ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        doc.append(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    const int err = n < 0 ? errno : 0;
    close(fd);
    if (err != 0)
        return Reason(("Can't read " + path).c_str(), err);
    e.value = std::move(doc);
    return "";
}

int RunSet(const std::vector<std::string>& paths, const std::vector<Edit>& edits,
           const SetOptions& options)
{
    int status = 0;
    for (const std::string& path : paths) {
        const Outcome o = SetFile(path, edits, options);
        if (!PrintOutcome(o))
            return 2;
        status = std::max(status, OutcomeStatus(o));
    }
    return status;
}

} // namespace sondrel
