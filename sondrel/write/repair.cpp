// The repair run: checks, plan, write, flush, rename, folder flush.
#include "write/repair.h"

#include "file_text.h"

#include "inspect/inspect.h"
#include "inspect/measured.h"
#include "io.h"
#include "measure/audio_read.h"
#include "status.h"
#include "write/check_new_file.h"
#include "write/durable.h"
#include "write/temporary_file.h"
#include "write/progress.h"
#include "write/repair_plan.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sondrel {

namespace
{

// OUT naming a folder, as for `cp`: IN's name in it.
std::string IntoFolder(const std::string& in, const std::string& out)
{
    struct stat st {
    };
    OutPath name;
    if (stat(out.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || !SplitOutPath(in, name))
        return out;
    return out + (out.ends_with('/') ? "" : "/") + name.name;
}

// IN, read-only: a regular file (its bytes are copied by offset).
bool OpenInput(Outcome& o, Descriptor& in, struct stat& st)
{
    if (const std::string why = OpenRegular(o.path, O_RDONLY, in, st); !why.empty()) {
        Fail(o, why);
        return false;
    }
    return true;
}

// OUT must be a new name in a folder that exists.
bool CheckOutput(Outcome& o, const std::string& out, const Descriptor& folder, int folderError,
                 const OutPath& where, const struct stat& input)
{
    if (folder.fd < 0) {
        Fail(o, Reason("Can't open the output folder", folderError));
        return false;
    }
    struct stat st {
    };
    if (fstatat(folder.fd, where.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        const bool same = st.st_dev == input.st_dev && st.st_ino == input.st_ino;
        Fail(o, same ? "The output is the input file" : "The output file exists: " + out);
        return false;
    }
    if (errno != ENOENT) {
        Fail(o, Reason("Can't check the output file", errno));
        return false;
    }
    return true;
}

bool InputUnchanged(int fd, const struct stat& before)
{
    struct stat now {
    };
    return fstat(fd, &now) == 0 && now.st_size == before.st_size &&
           now.st_mtim.tv_sec == before.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == before.st_mtim.tv_nsec;
}

// The audio is hashed from the page cache in blocks this size: memory stays
// under 8 MiB with the crypto library's own.
constexpr size_t HashBlockBytes = 256 << 10;

// The pieces written to the temporary file, and the MD5 of its audio.
bool WriteTemporary(Outcome& o, TemporaryFile& t, const Plan& plan, int in, bool md5,
                    Measurement& m)
{
    if (const int e = t.Create()) {
        Fail(o, Reason("Can't create a temporary file", e));
        return false;
    }
    // The length is set last: a hole at the end of the audio writes nothing.
    const char* step = "write";
    ByteProgress copy(o.path, plan.length);
    int e = WritePlan(plan, in, t.fd(), &step, copy.Callback());
    if (e == 0 && ftruncate(t.fd(), static_cast<off_t>(plan.length)) != 0)
        e = errno;
    if (e != 0) {
        Fail(o, Reason(std::strcmp(step, "flush") == 0 ? "Can't flush the temporary file"
                                                       : "Can't write the temporary file",
                       e));
        return false;
    }
    if (md5) {
        m.asked.md5 = m.request.md5 = true;
        m.request.blockBytes = HashBlockBytes;
        ByteProgress hash(o.path, plan.audio.bytes);
        m.request.progress = hash.Callback();
        m.result = ReadAndMeasure(t.fd(), plan.audio.offset, plan.audio.bytes, {}, m.request);
        m.request.progress = nullptr;
        const MeasureResult& v = m.result;
        if (v.readError != 0 || !v.md5) {
            Fail(o, Reason("Can't read the temporary file", v.readError ? v.readError : EIO));
            return false;
        }
        o.md5 = Hex(v.md5->data(), v.md5->size());
    }
    return true;
}

// IN's permission bits and modification time, and its owner and group
// where this user may give them, as `cp -p` keeps them.
void KeepAttributes(int out, const struct stat& in)
{
    if (fchown(out, in.st_uid, in.st_gid) != 0)
        (void)!fchown(out, static_cast<uid_t>(-1), in.st_gid); // the group alone, where allowed
    fchmod(out, in.st_mode & 07777);
    const struct timespec times[2] = {in.st_atim, in.st_mtim};
    futimens(out, times);
}

// The written file, inspected before it gets its name: none of what a
// repair removes may be left.
bool CheckWritten(Outcome& o, const TemporaryFile& t, const Measurement& m)
{
    Record after = InspectOpen(t.fd());
    if (m.asked.md5)
        CompareMeasurement(after, m); // a kept MD5 chunk that differs shows
    o.findingsAfter = CodesOf(after.findings);
    if (after.error) {
        Fail(o, "Can't inspect the written file");
        return false;
    }
    for (const Code code : o.findingsAfter) {
        if (IsRepairedFinding(code)) {
            Fail(o, std::string("The written file still has the finding ") + KindOf(code).text);
            return false;
        }
    }
    return true;
}

bool PublishTemporary(Outcome& o, TemporaryFile& t, const std::string& out)
{
    const char* step = "";
    bool published = false;
    const int e = t.Publish(&step, &published);
    if (published)
        o.output = out;
    if (e == 0)
        return true;
    if (published && std::strcmp(step, "flush folder") == 0) {
        // OUT is whole under its name; only the name's durability is in doubt.
        o.reason =
            Reason("Can't flush the output folder", e) + ": the name may not survive a power loss";
        return true;
    }
    if (!published && e == EEXIST)
        Fail(o, "The output file appeared while it was written: " + out);
    else
        Fail(o, Reason((std::string("Can't ") + step + " the output file").c_str(), e));
    return false;
}

// The copy is the input byte for byte: nothing was mended.
bool SameAsInput(const Plan& plan, uint64_t inputBytes, int in)
{
    if (plan.length != inputBytes || !plan.dropped.empty())
        return false;
    for (const Piece& p : plan.pieces) {
        if (p.from) {
            if (*p.from != p.offset)
                return false;
            continue;
        }
        std::string there(p.literal.size(), '\0');
        int error = 0;
        if (ReadAt(in, p.offset, there.data(), there.size(), &error) != there.size() ||
            there != p.literal)
            return false;
    }
    return true;
}

void RecordPlan(Outcome& o, const Plan& plan)
{
    for (const Piece& p : plan.pieces)
        o.writes.push_back({p.offset, p.bytes, p.what});
    o.dropped = plan.dropped;
    o.audio = ByteRange{plan.audio.offset, plan.audio.bytes, ""};
}

// Plans, checks, writes and publishes; false with the outcome set on the way.
bool RepairOpen(Outcome& o, const std::string& out, const OutPath& where, int folder, int in,
                const struct stat& st, const RepairOptions& options)
{
    const auto inputBytes = static_cast<uint64_t>(st.st_size);
    Record before = InspectOpen(in);
    o.findingsBefore = CodesOf(before.findings);
    if (before.error && !HasCode(before.findings, Code::NotWave)) {
        Fail(o, *before.error);
        return false;
    }
    const RepairPlan r = PlanRepair(before, options.audioToEnd);
    if (!r.refusal.empty()) {
        Refuse(o, r.refusal);
        return false;
    }
    if (const std::string problem = CheckNewFile(r.plan, inputBytes, FileReader(in));
        !problem.empty()) {
        Fail(o, "The planned file failed its check: " + problem);
        return false;
    }
    TemporaryFile t(folder, where.name);
    Measurement m;
    if (!WriteTemporary(o, t, r.plan, in, options.md5, m))
        return false;
    if (!InputUnchanged(in, st)) {
        Fail(o, "The input file changed while it was copied");
        return false;
    }
    if (!CheckWritten(o, t, m))
        return false;
    KeepAttributes(t.fd(), st);
    const bool published = PublishTemporary(o, t, out);
    if (o.output)
        RecordPlan(o, r.plan);
    if (published)
        o.status =
            SameAsInput(r.plan, inputBytes, in) ? WriteStatus::Unchanged : WriteStatus::Repaired;
    return published;
}

} // namespace

Outcome Repair(const std::string& in, const std::string& named, const RepairOptions& options)
{
    Outcome o;
    o.path = in;
    o.mode = "repair";
    const std::string out = IntoFolder(in, named);
    OutPath where;
    if (!SplitOutPath(out, where)) {
        Fail(o, "The output names no file: " + out);
        return o;
    }
    Descriptor folder;
    folder.fd = open(where.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int folderError = folder.fd < 0 ? errno : 0;
    if (folder.fd >= 0)
        RemoveStaleTemporaries(folder.fd, where.name); // a killed run's leftovers go first
    Descriptor input;
    struct stat st {
    };
    if (!OpenInput(o, input, st) || !CheckOutput(o, out, folder, folderError, where, st))
        return o;
    if (!RepairOpen(o, out, where, folder.fd, input.fd, st, options) && !o.output) {
        o.md5.reset(); // nothing was written
        o.findingsAfter.clear();
    }
    return o;
}

int RunRepair(const std::string& in, const std::string& out, const RepairOptions& options)
{
    const Outcome o = Repair(in, out, options);
    return PrintOutcome(o) ? OutcomeStatus(o) : 2;
}

} // namespace sondrel
