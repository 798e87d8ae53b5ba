// What a report shows of a run, gathered one record at a time in bounded
// memory: counts, a fixed-bin loudness histogram, a sample of the loudness
// points and the files to open first.  A record is taken as the JSON line
// that --json writes (or a saved one), so any output form that has the
// record can feed it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sondrel {

// The facts of one record that the report uses; texts as the record has them.
struct RecordFacts {
    std::string path, status, error, container, formatName;
    std::optional<double> channels, sampleRate, bits, seconds, fileBytes;
    std::optional<double> lufs, truePeak;
    bool signalMeasured = false;
    struct Finding {
        std::string severity, code, message;
    };
    std::vector<Finding> findings;
    std::string description, note; // bext description, iXML note
};

enum class FileClass { Errors, Unreadable, Warnings, Infos, Clean };

// A file with findings, as the table shows it.
struct FileRow {
    uint64_t order = 0; // its place among the records
    FileClass kind = FileClass::Clean;
    std::string path;
    std::vector<std::string> codes;    // each once, at most MaxRowCodes
    std::vector<std::string> messages; // the error, then the findings', up to a total size
    std::string description, note;
    std::optional<double> lufs, truePeak;
};

// Counts by a text, with at most Cap distinct texts: the rest count as one
// "(other)", so hostile records cannot make the map grow.
class BoundedCounts
{
  public:
    static constexpr size_t Cap = 64;
    void Add(std::string_view key, uint64_t n = 1);
    const std::map<std::string, uint64_t>& Counts() const { return counts_; }

  private:
    std::map<std::string, uint64_t> counts_;
};

struct CodeCount {
    std::string severity; // the worst the code was seen with
    uint64_t files = 0, findings = 0;
};

struct ScatterPoint {
    double lufs, truePeak;
    std::string path;
};

class RunSummary
{
  public:
    static constexpr size_t MaxRows = 10000;
    static constexpr size_t MaxPoints = 5000;
    static constexpr int HistogramLow = -70; // the first bin: [-70, -69) LUFS
    static constexpr int HistogramBins = 73; // up to +3 LUFS
    static constexpr size_t MaxCodes = 200;
    static constexpr size_t MaxRowCodes = 40;

    explicit RunSummary(size_t maxRows = MaxRows, size_t maxPoints = MaxPoints);

    void Add(const RecordFacts& r);
    // A line that was not an inspection record (from --records).
    void AddBadLine(uint64_t lineNumber);

    uint64_t files = 0, clean = 0, warnings = 0, errors = 0, unreadable = 0;
    uint64_t withFindings = 0, bytes = 0;
    double seconds = 0;
    uint64_t badLines = 0, firstBadLine = 0;
    bool signalMeasured = false;
    uint64_t loudnessFiles = 0, loudnessOutOfRange = 0;
    std::array<uint64_t, HistogramBins> histogram{};
    std::map<std::string, CodeCount> codes; // at most MaxCodes codes, then "(other)"
    std::map<std::string, uint64_t> severityFindings, severityFiles;
    BoundedCounts containers, formatNames, rates, bitDepths, channelCounts;

    // The scatter's points: a uniform sample of every file with both values.
    const std::vector<ScatterPoint>& Points() const { return points_; }
    uint64_t PointsSeen() const { return pointsSeen_; }
    // The rows kept, errors first, then in record order.
    std::vector<FileRow> Rows() const;
    // Files with findings that the rows leave out.
    uint64_t RowsLeftOut() const { return withFindings - rows_.size(); }

  private:
    void AddRow(FileRow row);
    void AddPoint(double lufs, double truePeak, const std::string& path);

    size_t maxRows_, maxPoints_;
    std::vector<FileRow> rows_; // a heap: the row to give up first on top
    std::vector<ScatterPoint> points_;
    uint64_t pointsSeen_ = 0;
    uint64_t random_ = 0x5D0D5E1A2B3C4D5EULL; // fixed: the same records, the same page
};

// Cuts `text` to at most `bytes` bytes on a UTF-8 boundary, marking the cut
// with an ellipsis.
std::string CutText(std::string_view text, size_t bytes);

} // namespace sondrel
