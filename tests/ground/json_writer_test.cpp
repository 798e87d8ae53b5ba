// The record's JSON written piece by piece: the same compact text that
// nlohmann-json writes for the same tree, written out in bounded pieces.
#include "json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <nlohmann/json.hpp>

using namespace sondrel;

namespace
{

struct WriterCase {
    const char* name;
    std::function<void(JsonWriter&)> write;
    const char* expected;
};

TEST(JsonWriter, WritesCompactJson)
{
    const std::vector<WriterCase> cases = {
        {"nested containers and their commas",
         [](JsonWriter& j) {
             j.BeginObject();
             j.Key("a");
             j.BeginArray();
             j.Integer(-2);
             j.BeginObject();
             j.EndObject();
             j.BeginArray();
             j.EndArray();
             j.Unsigned(18446744073709551615u);
             j.EndArray();
             j.Key("b");
             j.BeginObject();
             j.Key("c");
             j.Bool(false);
             j.EndObject();
             j.EndObject();
         },
         R"({"a":[-2,{},[],18446744073709551615],"b":{"c":false}})"},
        {"numbers: not finite is null, doubles as nlohmann-json writes them",
         [](JsonWriter& j) {
             j.BeginArray();
             j.Number(NAN);
             j.Number(-INFINITY);
             j.Number(1.0);
             j.Number(-23.37);
             j.Value(std::optional<double>(0.1));
             j.Value(std::optional<int64_t>());
             j.EndArray();
         },
         "[null,null,1.0,-23.37,0.1,null]"},
        {"text keys and values escaped",
         [](JsonWriter& j) {
             j.BeginObject();
             EXPECT_TRUE(j.TextKey("a\"b\x01"));
             EXPECT_TRUE(j.String("tab\there \\ \xC3\xA9"));
             EXPECT_FALSE(j.TextKey("\xFF")) << "refused, writing nothing";
             j.EndObject();
         },
         R"({"a\"b\u0001":"tab\there \\ é"})"},
        {"invalid UTF-8 refused, writing nothing",
         [](JsonWriter& j) {
             j.BeginArray();
             j.Integer(1);
             EXPECT_FALSE(j.String("\xFF"));
             EXPECT_TRUE(j.String("ok"));
             j.EndArray();
         },
         R"([1,"ok"])"},
    };
    for (const WriterCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text;
        JsonWriter writer(text);
        c.write(writer);
        EXPECT_EQ(text, c.expected);
        const auto parsed = nlohmann::ordered_json::parse(text, nullptr, false);
        ASSERT_FALSE(parsed.is_discarded());
        EXPECT_EQ(parsed.dump(), text) << "nlohmann-json's own compact form";
    }
}

std::string Repeated(const std::string& unit, size_t bytes)
{
    std::string text;
    while (text.size() < bytes)
        text += unit;
    return text;
}

// A text longer than a piece is cut between characters, never inside one:
// the result must be nlohmann-json's serialisation of the whole text, and a
// text that is not UTF-8 anywhere in it must be refused whole.
TEST(JsonWriter, LongTextWrittenInPiecesIsTheWholeSerialisation)
{
    constexpr size_t Piece = JsonWriter::PieceBytes;
    const std::vector<std::pair<const char*, std::string>> valid = {
        {"two-byte characters", Repeated("a\xC3\xA9", 3 * Piece)},
        {"three-byte characters", Repeated("\xE2\x82\xAC", 2 * Piece + 7)},
        {"four-byte characters", Repeated("ab\xF0\x9D\x84\x9E", 2 * Piece)},
        {"a four-byte character across the first cut",
         std::string(Piece - 2, 'a') + "\xF0\x9D\x84\x9E" + std::string(Piece, 'b')},
        {"controls and quotes", Repeated("\x01\"\\\n", Piece + 1)},
    };
    for (const auto& [name, text] : valid) {
        SCOPED_TRACE(name);
        std::string out;
        JsonWriter writer(out);
        EXPECT_TRUE(writer.String(text));
        EXPECT_EQ(out, nlohmann::json(text).dump());
    }
    const std::vector<std::pair<const char*, std::string>> invalid = {
        {"a stray byte at the end", std::string(2 * Piece, 'a') + "\xFF"},
        {"a character cut at the end", std::string(2 * Piece, 'a') + "\xF0\x9D\x84"},
        {"a stray continuation byte at a cut", std::string(Piece, 'a') + "\x80" + "bc"},
    };
    for (const auto& [name, text] : invalid) {
        SCOPED_TRACE(name);
        std::string out;
        JsonWriter writer(out);
        EXPECT_FALSE(writer.String(text));
        EXPECT_EQ(out, "");
    }
}

// A long array goes out to the sink as it is written: what is held stays
// near FlushBytes, and what arrives is the whole value.
TEST(JsonWriter, LongValueReachesTheSinkInPieces)
{
    FILE* sink = tmpfile();
    ASSERT_NE(sink, nullptr);
    std::string text;
    JsonWriter writer(text, sink);
    const std::string item(1000, 'x');
    constexpr int Items = 1000;
    size_t held = 0;
    writer.BeginArray();
    for (int n = 0; n < Items; n++) {
        EXPECT_TRUE(writer.String(item));
        held = std::max(held, text.size());
    }
    writer.EndArray();
    EXPECT_TRUE(writer.Flush());
    EXPECT_LT(held, JsonWriter::FlushBytes + item.size() + 8);
    EXPECT_TRUE(text.empty());
    rewind(sink);
    std::string written;
    char block[4096];
    for (size_t got; (got = fread(block, 1, sizeof block, sink)) > 0;)
        written.append(block, got);
    fclose(sink);
    const auto parsed = nlohmann::json::parse(written, nullptr, false);
    ASSERT_TRUE(parsed.is_array());
    EXPECT_EQ(parsed.size(), size_t{Items});
    EXPECT_EQ(parsed.back(), item);
}

TEST(JsonWriter, FailedWriteIsRemembered)
{
    FILE* full = fopen("/dev/full", "w");
    if (!full)
        GTEST_SKIP() << "no /dev/full";
    setvbuf(full, nullptr, _IONBF, 0);
    std::string text;
    JsonWriter writer(text, full);
    EXPECT_TRUE(writer.String(std::string(JsonWriter::FlushBytes, 'x')));
    writer.Null();
    EXPECT_FALSE(writer.Flush());
    EXPECT_FALSE(writer.Flush()) << "a later empty flush still reports the lost text";
    fclose(full);
}

} // namespace
