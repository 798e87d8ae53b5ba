// Writes one JSON value as compact text, piece by piece, so that a record
// with a long list is never held whole as a tree.  nlohmann-json has no
// streaming writer: the brackets, commas and colons are written here, and
// every string and floating-point number is serialised by nlohmann-json.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace sondrel {

class JsonWriter
{
  public:
    // Text is appended to `text`; with a `textSink`, `text` is written to it and
    // cleared whenever it passes FlushBytes, and by Flush.
    explicit JsonWriter(std::string& text, FILE* textSink = nullptr);

    void BeginObject();
    void EndObject();
    void BeginArray();
    void EndArray();

    // A key of this program's own, plain ASCII with nothing to escape.
    void Key(std::string_view name);
    // A key taken from a file; false, writing nothing, when it is not valid UTF-8.
    [[nodiscard]] bool TextKey(const std::string& name);

    void Null();
    void Bool(bool value);
    void Integer(int64_t value);
    void Unsigned(uint64_t value);
    // null when not finite: JSON has no NaN or infinity.
    void Number(double value);
    // Returns false, writing nothing, when `text` is not valid UTF-8.  A
    // long text is serialised in pieces, so it is never held whole twice.
    [[nodiscard]] bool String(std::string_view text);
    // Text from a file or the command line: kept when it is UTF-8, else each
    // byte read as the Latin-1 character it codes, so no byte is lost.
    void FileText(std::string_view bytes);

    // A number, a bool, or null for an empty optional of one.
    template <typename T> void Value(const T& value)
    {
        if constexpr (IsOptional<T>::value) {
            if (value)
                Value(*value);
            else
                Null();
        } else if constexpr (std::is_same_v<T, bool>) {
            Bool(value);
        } else if constexpr (std::is_floating_point_v<T>) {
            Number(value);
        } else if constexpr (std::is_signed_v<T>) {
            Integer(value);
        } else {
            Unsigned(value);
        }
    }

    template <typename T> void Member(std::string_view name, const T& value)
    {
        Key(name);
        Value(value);
    }

    // Writes what `out` holds to the sink; false when this or an earlier
    // write to it failed.
    bool Flush();

    static constexpr size_t FlushBytes = 64 * 1024;
    // Texts longer than this are serialised a piece at a time.
    static constexpr size_t PieceBytes = 64 * 1024;

  private:
    template <typename T> struct IsOptional : std::false_type {
    };
    template <typename T> struct IsOptional<std::optional<T>> : std::true_type {
    };

    void BeforeValue();
    void Append(std::string_view text);
    void PiecewiseString(std::string_view text);

    std::string& out;
    FILE* sink;
    // Per open object or array: whether it has a member yet.
    std::vector<bool> hasMember;
    bool afterKey = false;
    bool writeFailed = false;
};

} // namespace sondrel
