// The rewritten file: every chunk in its order, copied as it is but for the
// edited ones and the sizes that count them; new chunks at the end.
#include "write/edit_plan.h"

#include "decode.h"
#include "file_text.h"

#include <algorithm>

namespace sondrel
{

namespace
{

constexpr uint64_t RiffFileLimit = uint64_t{1} << 32;

std::string ReadString(const EditReader& read, uint64_t offset, uint64_t count)
{
    std::string s(static_cast<size_t>(count), '\0');
    s.resize(read(offset, s.data(), s.size()));
    return s;
}

class NewFile
{
  public:
    explicit NewFile(Plan& plan) : p(plan) {}
    void Literal(std::string bytes, std::string what)
    {
        if (bytes.empty())
            return;
        const uint64_t n = bytes.size();
        p.pieces.push_back({p.length, n, std::move(bytes), std::nullopt, std::move(what), false});
        p.length += n;
    }
    void Copy(uint64_t from, uint64_t bytes, std::string what)
    {
        if (bytes > 0)
            p.pieces.push_back({p.length, bytes, "", from, std::move(what), false});
        p.length += bytes;
    }
    void Chunk(const char* id, const std::string& body)
    {
        Literal(id + LE32(static_cast<uint32_t>(body.size())) + body +
                    (body.size() % 2 ? std::string(1, '\0') : ""),
                std::string("\"") + id + "\" chunk");
    }

  private:
    Plan& p;
};

} // namespace

EditPlan PlanRewrite(const EditState& s, const NewBodies& b, const EditReader& read)
{
    EditPlan out;
    Plan& p = out.plan;
    const auto refuse = [&](const char* why) {
        out.refusal = why;
        out.plan = Plan{};
        return out;
    };
    if (!s.data || s.visible.empty())
        return refuse("The file has no audio chunk");
    const WalkedChunk& last = s.visible.back();
    const uint64_t end = last.offset + 8 + last.size;
    if (s.fileBytes > end + (last.size & 1))
        return refuse("Bytes follow the last chunk that a rewrite would not keep: repair the file "
                      "first");
    const std::string head = ReadString(read, 0, 12);
    NewFile f(p);
    f.Literal(head, "file header");
    uint64_t ds64At = 0;
    for (size_t i = 0; i < s.visible.size(); i++) {
        const WalkedChunk& c = s.visible[i];
        const std::optional<std::string>* edited = i == s.bext   ? &b.bext
                                                   : i == s.list ? &b.list
                                                   : i == s.ixml ? &b.ixml
                                                                 : nullptr;
        if (edited && edited->has_value()) {
            f.Chunk(IdIs(c.id, "bext") ? "bext" : IdIs(c.id, "LIST") ? "LIST" : "iXML", **edited);
        } else if (i == s.data) {
            f.Literal(ReadString(read, c.offset, 8), "\"data\" header");
            p.audio = {p.length, c.size, "audio"};
            p.audioFrom = c.offset + 8;
            f.Copy(c.offset + 8, c.size, "audio");
            f.Literal(c.size % 2 ? std::string(1, '\0') : "", "pad byte");
        } else if (i == s.ds64 && s.wide) {
            ds64At = p.length + 8;
            const std::string body =
                ReadString(read, c.offset + 8, std::min<uint64_t>(c.size, 1024));
            if (body.size() < Ds64FixedBytes)
                return refuse("The ds64 chunk is too short");
            p.frames = LoadLE64(reinterpret_cast<const unsigned char*>(body.data()) + 16);
            f.Literal(ReadString(read, c.offset, 8) + body, "\"ds64\" chunk");
            f.Copy(c.offset + 8 + body.size(), c.size - body.size(), "\"ds64\" table");
            f.Literal(c.size % 2 ? std::string(1, '\0') : "", "pad byte");
        } else {
            const uint64_t copied = std::min(8 + c.size + (c.size & 1), s.fileBytes - c.offset);
            f.Copy(c.offset, copied, Quoted(c.id) + " chunk");
            f.Literal(std::string(8 + c.size + (c.size & 1) - copied, '\0'), "pad byte");
        }
    }
    if (b.bext && !s.bext)
        f.Chunk("bext", *b.bext);
    if (b.list && !s.list)
        f.Chunk("LIST", *b.list);
    if (b.ixml && !s.ixml)
        f.Chunk("iXML", *b.ixml);
    if (s.wide) {
        if (!ds64At)
            return refuse("The file has no ds64 chunk");
        for (Piece& piece : p.pieces)
            if (piece.offset + 8 == ds64At && !piece.from)
                piece.literal.replace(8, 8, LE64(p.length - 8));
    } else if (p.length - 8 >= RiffFileLimit - 8) {
        return refuse("The file would pass 4 GiB, which a RIFF file cannot");
    } else {
        p.pieces[0].literal.replace(4, 4, LE32(static_cast<uint32_t>(p.length - 8)));
    }
    return out;
}

} // namespace sondrel
