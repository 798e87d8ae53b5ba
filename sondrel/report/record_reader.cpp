// The records, read back: an event parser that notes the few keys the
// report uses, so a record with a long track list is never held as a tree.
#include "report/record_reader.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <vector>

namespace sondrel {

namespace
{

using json = nlohmann::json;

// Where the parser stands: one frame per open object or array, each with
// its name in its parent ("" in an array) and, for an object, the last key.
class FactsHandler : public nlohmann::json_sax<json>
{
  public:
    explicit FactsHandler(RecordFacts& f) : f_(f) {}

    bool null() override { return Value(std::nullopt, nullptr); }
    bool boolean(bool) override { return Value(std::nullopt, nullptr); }
    bool number_integer(number_integer_t v) override { return Value(double(v), nullptr); }
    bool number_unsigned(number_unsigned_t v) override { return Value(double(v), nullptr); }
    bool number_float(number_float_t v, const string_t&) override { return Value(v, nullptr); }
    bool string(string_t& v) override { return Value(std::nullopt, &v); }
    bool binary(binary_t&) override { return Value(std::nullopt, nullptr); }
    bool start_object(std::size_t) override { return Open(false); }
    bool start_array(std::size_t) override { return Open(true); }
    bool end_object() override { return Close(); }
    bool end_array() override { return Close(); }
    bool key(string_t& k) override
    {
        frames_.back().key = k;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override
    {
        return false;
    }

    bool sawPath = false, sawStatus = false;

  private:
    struct Frame {
        bool array;
        std::string name, key;
    };

    std::string Here() const { return frames_.back().array ? "" : frames_.back().key; }

    bool Open(bool array)
    {
        if (frames_.empty() && array)
            return false; // a line holds one object: its record
        if (frames_.size() == MaxDepth || deeper_ > 0) {
            deeper_++; // nothing the page uses is this deep
            return true;
        }
        const std::string name = frames_.empty() ? "" : Here();
        if (frames_.size() == 1 && name == "signal")
            f_.signalMeasured = true;
        if (frames_.size() == 2 && !array && frames_[1].name == "findings")
            f_.findings.emplace_back();
        frames_.push_back({array, name, ""});
        return true;
    }

    bool Close()
    {
        if (deeper_ > 0)
            deeper_--;
        else
            frames_.pop_back();
        return true;
    }

    bool Value(std::optional<double> number, const std::string* text);

    static constexpr size_t MaxMessages = 64;
    static constexpr size_t MaxDepth = 3; // the record, a finding list, a finding
    RecordFacts& f_;
    std::vector<Frame> frames_;
    size_t deeper_ = 0;
};

bool FactsHandler::Value(std::optional<double> number, const std::string* text)
{
    if (frames_.empty())
        return false; // a bare value is not a record
    if (deeper_ > 0)
        return true;
    const std::string key = Here();
    auto setText = [&](std::string& to) {
        if (text)
            to = *text;
    };
    if (frames_.size() == 1) {
        if (key == "path" && text)
            sawPath = true;
        if (key == "status" && text)
            sawStatus = true;
        if (key == "path")
            setText(f_.path);
        else if (key == "status")
            setText(f_.status);
        else if (key == "error")
            setText(f_.error);
        else if (key == "container")
            setText(f_.container);
        else if (key == "file_bytes")
            f_.fileBytes = number;
        return true;
    }
    const std::string& in = frames_[1].name;
    if (frames_.size() == 2) {
        if (in == "format") {
            if (key == "name")
                setText(f_.formatName);
            else if (key == "channels")
                f_.channels = number;
            else if (key == "sample_rate")
                f_.sampleRate = number;
            else if (key == "bits_per_sample")
                f_.bits = number;
        } else if (in == "audio" && key == "seconds") {
            f_.seconds = number;
        } else if (in == "loudness_measured") {
            if (key == "integrated_lufs")
                f_.lufs = number;
            else if (key == "max_true_peak_dbtp")
                f_.truePeak = number;
        } else if (in == "bext" && key == "description") {
            setText(f_.description);
        } else if (in == "ixml" && key == "note") {
            setText(f_.note);
        }
    } else if (frames_.size() == 3 && in == "findings" && frames_[2].name.empty() &&
               !f_.findings.empty()) {
        auto& finding = f_.findings.back();
        if (key == "severity")
            setText(finding.severity);
        else if (key == "code")
            setText(finding.code);
        else if (key == "message" && f_.findings.size() <= MaxMessages)
            setText(finding.message); // a row shows the first few
    }
    return true;
}

} // namespace

bool ParseRecordFacts(std::string_view line, RecordFacts& facts)
{
    facts = RecordFacts{};
    FactsHandler handler(facts);
    const bool parsed = json::sax_parse(line.begin(), line.end(), &handler);
    return parsed && handler.sawPath && handler.sawStatus;
}

namespace
{

// One line, handed on unless it is blank; `bad` when over the cap.
void TakeLine(std::string_view line, bool tooLong, uint64_t number, RunSummary& summary,
              RecordFacts& facts)
{
    if (line.find_first_not_of(" \t\r") == std::string_view::npos && !tooLong)
        return;
    if (!tooLong && ParseRecordFacts(line, facts))
        summary.Add(facts);
    else
        summary.AddBadLine(number);
}

} // namespace

bool ReadRecords(FILE* in, RunSummary& summary)
{
    std::vector<char> block(1 << 20);
    std::string pending; // a line that runs over a block's end
    bool tooLong = false;
    uint64_t number = 0;
    RecordFacts facts;
    for (;;) {
        const size_t got = fread(block.data(), 1, block.size(), in);
        std::string_view rest(block.data(), got);
        while (!rest.empty()) {
            const size_t end = rest.find('\n');
            const std::string_view piece = rest.substr(0, end);
            if (end == std::string_view::npos) {
                tooLong = tooLong || pending.size() + piece.size() > MaxLineBytes;
                if (!tooLong)
                    pending.append(piece);
                break;
            }
            number++;
            if (pending.empty() && !tooLong) {
                TakeLine(piece, false, number, summary, facts);
            } else {
                tooLong = tooLong || pending.size() + piece.size() > MaxLineBytes;
                if (!tooLong)
                    pending.append(piece);
                TakeLine(pending, tooLong, number, summary, facts);
                pending.clear();
                pending.shrink_to_fit();
                tooLong = false;
            }
            rest.remove_prefix(end + 1);
        }
        if (got < block.size())
            break;
    }
    if (ferror(in)) {
        if (errno == 0)
            errno = EIO;
        return false;
    }
    if (!pending.empty() || tooLong)
        TakeLine(pending, tooLong, number + 1, summary, facts);
    return true;
}

} // namespace sondrel
