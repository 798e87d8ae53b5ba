// The edit planner: wanted values, the new bodies, then the shape of the
// writes (in place when one of the four shapes fits, else a rewrite).
#include "write/edit_plan.h"

#include "decode.h"
#include "file_text.h"
#include "inspect/csv_record.h"

#include <algorithm>

namespace sondrel
{

namespace
{

constexpr size_t Room = BextCodingHistory; // the coding history starts here

std::string Padded(std::string bytes, size_t width)
{
    bytes.resize(width, '\0');
    return bytes;
}

// The wanted cells, a key each in the order first named; the coding
// history's appends made on what the file shows.
std::vector<std::pair<std::string, std::string>> Wanted(const EditState& s,
                                                        const std::vector<Edit>& edits)
{
    std::vector<std::pair<std::string, std::string>> w;
    for (const Edit& e : edits) {
        // A table's cell is compared as --csv wrote it: an empty time
        // reference there is "no bext", not a new one holding 0.
        if (e.fromTable && e.kind != KeyKind::Ixml &&
            e.value == EditableCell(s.view, e.key).value_or(""))
            continue;
        auto it = std::find_if(w.begin(), w.end(), [&](const auto& k) { return k.first == e.key; });
        if (it == w.end()) {
            w.emplace_back(e.key, EditableCell(s.view, e.key).value_or(""));
            it = w.end() - 1;
        }
        std::string& cell = it->second;
        unsigned long long n = 0;
        if (e.kind == KeyKind::CodingHistory && e.append) {
            const std::vector<std::string> lines = SplitLines(cell);
            // A rerun after a kill must not add the line twice.
            if (lines.empty() || lines.back() != e.value)
                cell.append(cell.empty() ? "" : "\n").append(e.value);
        } else if (e.kind == KeyKind::CodingHistory) {
            cell.clear();
            for (const std::string& line : SplitLines(e.value))
                cell.append(cell.empty() ? "" : "\n").append(line);
        } else if (e.kind == KeyKind::TimeReference && ParseTimeReference(e.value, n)) {
            cell = std::to_string(n);
        } else if (e.kind == KeyKind::Umid) {
            Record r;
            r.bext = BextRecord{};
            r.bext->storedBytes = Room;
            const std::string u = UmidBytes(e.value);
            std::copy(u.begin(), u.end(), r.bext->umid.begin());
            cell = EditableCell(r, "bext.umid").value_or("");
        } else {
            cell = e.value;
        }
    }
    return w;
}

std::string DefaultBext()
{
    std::string b(Room, '\0');
    b.replace(BextVersion, 2, LE16(2));
    for (size_t i = 0; i < 5; i++)
        b.replace(BextLoudness + 2 * i, 2, LE16(0x7FFF)); // unset
    return b;
}

// The bext body with the wanted fields; the coding history NUL-filled to
// the room the chunk has, or longer when it does not fit.
std::string NewBext(const EditState& s, const std::vector<std::pair<std::string, std::string>>& w)
{
    std::string b = s.bext ? s.bextBody : DefaultBext();
    for (const auto& [key, cell] : w) {
        const KeyInfo k = InfoOfKey(key);
        unsigned long long n = 0;
        if (k.kind == KeyKind::TimeReference && ParseTimeReference(cell, n))
            b.replace(k.offset, 8, LE64(n));
        else if (k.kind == KeyKind::Umid)
            b.replace(k.offset, 64, cell.empty() ? std::string(64, '\0') : UmidBytes(cell));
        else if (k.kind == KeyKind::CodingHistory) {
            const std::string h = StoredHistory(cell);
            b = b.substr(0, Room) + Padded(h, std::max(h.size(), b.size() - Room));
        } else if (k.width > 0)
            b.replace(k.offset, k.width, Padded(cell, k.width));
    }
    if (!s.bext && b.size() % 2)
        b += '\0';
    return b;
}

std::string Entry(const std::string& id, const std::string& value)
{
    std::string e = id + LE32(static_cast<uint32_t>(value.size() + 1)) + value + '\0';
    return value.size() % 2 ? e : e + '\0';
}

// The LIST body a rewrite writes: the entries kept as they are, the changed
// ones with their new values, the removed ones left out, the new ones at
// the end; a filler at the end of the list is not carried over.
std::string RewrittenList(const EditState& s,
                          const std::vector<std::pair<std::string, std::string>>& info)
{
    std::string list = "INFO";
    std::vector<std::string> done;
    for (const InfoEntry& e : s.entries) {
        if (e.at >= s.valuesEnd)
            break;
        const std::string id(e.id.data(), 4);
        const auto it = std::find_if(info.begin(), info.end(),
                                     [&](const auto& k) { return k.first.substr(5) == id; });
        const bool first = std::find(done.begin(), done.end(), id) == done.end();
        done.push_back(id);
        if (it == info.end() || !first)
            list += s.listBody.substr(e.at, 8 + e.size + (e.size & 1));
        else if (!it->second.empty())
            list += Entry(id, it->second);
    }
    for (const auto& [key, cell] : info)
        if (!cell.empty() && std::find(done.begin(), done.end(), key.substr(5)) == done.end())
            list += Entry(key.substr(5), cell);
    return list;
}

} // namespace

EditPlan PlanEdit(const EditState& s, const std::vector<Edit>& edits, const EditReader& read)
{
    EditPlan out;
    std::vector<std::pair<std::string, std::string>> bext, info;
    NewBodies b;
    bool infoAsked = false;
    const std::string docNow =
        FieldText(reinterpret_cast<const unsigned char*>(s.ixmlBody.data()), s.ixmlBody.size());
    for (const auto& [key, cell] : Wanted(s, edits)) {
        const KeyKind kind = InfoOfKey(key).kind;
        infoAsked = infoAsked || kind == KeyKind::Info;
        if (kind == KeyKind::Ixml ? (s.ixml && docNow == cell)
                                  : EditableCell(s.view, key).value_or("") == cell)
            continue;
        out.readBack.emplace_back(key, cell);
        if (kind == KeyKind::Ixml) {
            const std::optional<std::string> before =
                s.ixml ? std::optional(Text(docNow)) : std::nullopt;
            out.changes.push_back({key, ShownValue{before, {}}, ShownValue{Text(cell), {}}});
            b.ixml = cell;
        } else {
            (kind == KeyKind::Info ? info : bext).emplace_back(key, cell);
        }
    }
    // A body too short to hold the fields is refused before one is built.
    if (!s.problem.empty()) {
        out.refusal = s.problem;
        return out;
    }
    if (!bext.empty()) {
        b.bext = NewBext(s, bext);
        Record after;
        after.bext =
            DecodeBext(reinterpret_cast<const unsigned char*>(b.bext->data()), b.bext->size());
        for (const auto& [key, cell] : bext)
            out.changes.push_back({key, Shown(s.view, key), Shown(after, key)});
    }
    for (const auto& [key, cell] : info)
        out.changes.push_back(
            {key, Shown(s.view, key), {cell.empty() ? std::nullopt : std::optional(cell), {}}});
    if (!s.list && !info.empty() && RewrittenList(s, info).size() > 4)
        b.list = RewrittenList(s, info);
    InPlace ip = PlanInPlace(s, b, read, infoAsked ? &info : nullptr);
    if (!ip.refusal.empty() || ip.rewriteReason.empty()) {
        out.refusal = ip.refusal;
        out.plan = std::move(ip.plan);
        return out;
    }
    if (s.list && !info.empty())
        b.list = RewrittenList(s, info);
    EditPlan r = PlanRewrite(s, b, read);
    out.refusal = r.refusal;
    out.plan = std::move(r.plan);
    out.rewriteReason = ip.rewriteReason;
    return out;
}

} // namespace sondrel
