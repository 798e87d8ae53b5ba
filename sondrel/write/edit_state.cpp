// Reading the file for an edit.
#include "write/edit_state.h"

#include "decode.h"
#include "file_text.h"
#include "inspect/csv_record.h"
#include "riff.h"

#include <algorithm>

namespace sondrel
{

namespace
{

constexpr uint64_t WholeBodyLimit = 16 << 20; // bext, LIST and iXML bodies read whole
constexpr uint64_t TailBytes = 64 << 10;      // of what follows the last chunk

bool ReadWhole(const WalkedChunk& c)
{
    return IdIs(c.id, "bext") || IdIs(c.id, "LIST") || IdIs(c.id, "iXML");
}

std::string ReadString(const EditReader& read, uint64_t offset, uint64_t count)
{
    std::string s(static_cast<size_t>(count), '\0');
    s.resize(read(offset, s.data(), s.size()));
    return s;
}

std::optional<uint64_t> RiffEnd(const Record& r, const EditReader& read, bool wide)
{
    const std::string head = ReadString(read, 0, 12);
    if (head.size() < 12)
        return std::nullopt;
    if (!wide)
        return EndFromSize(LoadLE32(reinterpret_cast<const unsigned char*>(head.data()) + 4));
    for (const WalkedChunk& c : r.chunks) {
        if (!IdIs(c.id, "ds64"))
            continue;
        const std::string size = ReadString(read, c.offset + 8, 8);
        if (size.size() < 8)
            return std::nullopt;
        return EndFromSize(LoadLE64(reinterpret_cast<const unsigned char*>(size.data())));
    }
    return std::nullopt;
}

// The INFO entries; false when the list does not walk as sub-chunks.
bool ReadEntries(EditState& s)
{
    const std::string& b = s.listBody;
    for (size_t at = 4; at < b.size();) {
        if (b.size() - at < 8)
            return false;
        const auto* h = reinterpret_cast<const unsigned char*>(b.data()) + at;
        const uint32_t size = LoadLE32(h + 4);
        if (size > b.size() - at - 8)
            return false;
        s.entries.push_back({IdAt(h), at, size, FieldText(h + 8, size)});
        at += 8 + size + (size & 1);
    }
    s.valuesEnd = b.size();
    for (auto e = s.entries.rbegin(); e != s.entries.rend() && IsFiller(e->id); ++e)
        s.valuesEnd = e->at;
    return true;
}

void Describe(EditState& s)
{
    if (s.bext) {
        const auto* b = reinterpret_cast<const unsigned char*>(s.bextBody.data());
        s.view.bext = DecodeBext(b, s.bextBody.size());
    }
    for (const InfoEntry& e : s.entries) {
        const bool seen = std::any_of(s.view.info.begin(), s.view.info.end(),
                                      [&](const auto& i) { return i.first == e.id; });
        if (!seen && !IsFiller(e.id))
            s.view.info.emplace_back(e.id, e.value);
    }
}

} // namespace

std::vector<ByteRange> EditReads(const Record& r, uint64_t fileBytes)
{
    std::vector<ByteRange> v = {{0, std::min<uint64_t>(12, fileBytes), "file header"}};
    uint64_t end = 12;
    for (const WalkedChunk& c : r.chunks) {
        v.push_back({c.offset, 8, Quoted(c.id) + " header"});
        const uint64_t body = std::min(c.size, fileBytes - std::min(fileBytes, c.offset + 8));
        if (ReadWhole(c))
            v.push_back({c.offset + 8, std::min(body, WholeBodyLimit), Quoted(c.id) + " body"});
        else if (IdIs(c.id, "ds64"))
            v.push_back({c.offset + 8, std::min<uint64_t>(body, 1024), "\"ds64\" body"});
        end = c.offset + 8 + c.size + (c.size & 1);
        if (c.size & 1) // a rerun reads what a killed run appended across pad bytes
            v.push_back({end - 1, 1, "pad byte"});
    }
    if (end < fileBytes)
        v.push_back({end, std::min(fileBytes - end, TailBytes), "after the last chunk"});
    return v;
}

EditState LoadState(const Record& r, uint64_t fileBytes, const EditReader& read)
{
    EditState s;
    s.fileBytes = fileBytes;
    s.wide = r.container && !IdIs(*r.container, "RIFF");
    s.riffEnd = RiffEnd(r, read, s.wide);
    for (const WalkedChunk& c : r.chunks) {
        if (s.riffEnd && c.offset >= *s.riffEnd)
            break;
        const size_t i = s.visible.size();
        s.visible.push_back(c);
        std::optional<size_t>* first = IdIs(c.id, "bext")   ? &s.bext
                                       : IdIs(c.id, "iXML") ? &s.ixml
                                       : IdIs(c.id, "ds64") ? &s.ds64
                                       : IdIs(c.id, "data") ? &s.data
                                                            : nullptr;
        if (first && !*first)
            *first = i;
        if (!ReadWhole(c) || (!IdIs(c.id, "LIST") && first && *first != i))
            continue;
        if (c.size > WholeBodyLimit) {
            s.problem = "The " + Quoted(c.id) + " chunk is larger than 16 MiB";
            continue;
        }
        std::string body = ReadString(read, c.offset + 8, c.size);
        if (IdIs(c.id, "LIST")) {
            if (s.list || !body.starts_with("INFO"))
                continue;
            s.list = i;
            s.listBody = std::move(body);
            if (!ReadEntries(s))
                s.problem = "The LIST chunk cannot be walked as INFO entries";
        } else {
            (IdIs(c.id, "bext") ? s.bextBody : s.ixmlBody) = std::move(body);
        }
    }
    if (s.bext && s.bextBody.size() < BextCodingHistory)
        s.problem = "The bext chunk is shorter than 602 bytes";
    Describe(s);
    return s;
}

ShownValue Shown(const Record& view, const std::string& key)
{
    const std::string cell = EditableCell(view, key).value_or("");
    ShownValue v;
    if (key.starts_with("bext.")) {
        v.integer = key == "bext.time_reference";
        if (view.bext && !(key == "bext.umid" && cell.empty()))
            v.text = cell;
    } else if (!cell.empty()) {
        v.text = cell;
    }
    return v;
}

} // namespace sondrel
