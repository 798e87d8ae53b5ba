// The "fmt" and "bext" reports and the iXML copy of real files, against the
// fields that independent tools read from them.
#include "facts.h"
#include "lines.h"
#include "run_tool.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using nlohmann::json;

namespace
{

std::string Num(const json& v)
{
    return std::to_string(v.get<unsigned long long>());
}

// A text field as a C string with a precision shows it: to the first zero byte.
std::string Text(const json& v, size_t precision)
{
    std::string s = v.get<std::string>();
    s = s.substr(0, s.find('\0'));
    return s.substr(0, precision);
}

std::string TypeName(const std::string& tag)
{
    if (tag == "0x0001")
        return "PCM";
    if (tag == "0x0050")
        return "MPEG";
    if (tag == "0xFFFE")
        return "Extensible";
    return "Unknown";
}

std::string ExpectedFmt(const json& f)
{
    const std::string tag = f["format_tag"];
    std::string s = ReportLine("fmt", "Format", tag) +
                    ReportLine("fmt", "Format.Type", TypeName(tag)) +
                    ReportLine("fmt", "SamplesPerSec", Num(f["sample_rate"])) +
                    ReportLine("fmt", "AvgBytesPerSec", Num(f["avg_bytes_per_sec"])) +
                    ReportLine("fmt", "NChannels", Num(f["channels"])) +
                    ReportLine("fmt", "BlockAlign", Num(f["block_align"]));
    if (tag == "0x0001" || f["bits_per_sample"] != 0)
        s += ReportLine("fmt", "BitsPerSample", Num(f["bits_per_sample"]));
    const unsigned cbSize = f.value("cb_size", 0u);
    if (cbSize != 0)
        s += ReportLine("fmt", "ExtraBytes", Num(f["cb_size"]));
    if (tag == "0xFFFE" && cbSize >= 22 && f["body_length"] >= 40) {
        s += ReportLine("fmt", "Ext.Samples.Info", Num(f["valid_bits_or_samples"]));
        s += ReportLine("fmt", "Ext.ChannelMask", f["channel_mask"]);
        s += ReportLine("fmt", "Ext.SubFormat", f["subformat"]);
    }
    return s;
}

// The eight lines before "UMID"; the facts give UMID and the reserved area
// as bytes, not as the text they show.
std::string ExpectedBextHead(const json& b)
{
    // The date is written after an extra blank.
    std::string date = " ";
    date += Text(b["origination_date"], 10);
    return ReportLine("bext", "Description", Text(b["description"], 256)) +
           ReportLine("bext", "Originator", Text(b["originator"], 32)) +
           ReportLine("bext", "OriginatorRef", Text(b["originator_reference"], 32)) +
           ReportLine("bext", "OriginatorDate", date) +
           ReportLine("bext", "OriginatorTime", Text(b["origination_time"], 8)) +
           ReportLine("bext", "TimeReferenceLow", b["time_reference_low"]) +
           ReportLine("bext", "TimeReferenceHigh", b["time_reference_high"]) +
           ReportLine("bext", "Version", Num(b["version"])) + ReportLine("bext", "UMID", "");
}

std::string ExpectedBextTail(const json& b)
{
    return ReportLine("bext", "CodingHistory", Text(b["coding_history"], 256)) +
           ReportLine("bext", "Timestamp", Num(b["time_reference"]));
}

bool StartsWith(const std::string& s, const std::string& prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& s, const std::string& suffix)
{
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

TEST(Fixtures, FmtAndBextReportsMatchIndependentReaders)
{
    int bextFiles = 0;
    const Fixtures fixtures = LoadFixtures();
    for (const auto& file : fixtures.present) {
        const std::string name = file["file"];
        SCOPED_TRACE(name);
        const json& walker = file["walker"];
        ASSERT_EQ(walker["fmt"].size(), 1u);
        RunResult r = RunSondrel({"--fmt", "--bext", FixturePath(name)});
        EXPECT_EQ(r.err, "+OK\n");
        EXPECT_EQ(r.status, 0);
        const std::string fmt = ExpectedFmt(walker["fmt"][0]);
        if (!walker.contains("bext")) {
            EXPECT_EQ(r.out, fmt);
            continue;
        }
        bextFiles++;
        const json& bext = walker["bext"][0];
        // The "fmt " chunk comes before "bext" in every one of these files.
        const std::string head = ExpectedBextHead(bext);
        // The UMID line is only checked up to its label.
        const std::string headLabel = head.substr(0, head.size() - 1);
        ASSERT_TRUE(StartsWith(r.out, fmt + headLabel)) << r.out;
        EXPECT_TRUE(EndsWith(r.out, ExpectedBextTail(bext))) << r.out;
    }
    EXPECT_EQ(bextFiles, 3);
}

TEST(Fixtures, IXMLCopyEqualsChunkBody)
{
    int ixmlFiles = 0;
    const Fixtures fixtures = LoadFixtures();
    for (const auto& file : fixtures.present) {
        const std::string name = file["file"];
        SCOPED_TRACE(name);
        const std::string bytes = ReadWholeFile(FixturePath(name));
        std::string expected;
        for (const auto& c : file["walker"]["chunks"]) {
            if (c["id"] != "iXML")
                continue;
            const std::string body =
                bytes.substr(c["offset"].get<size_t>() + 8, c["size_field"].get<size_t>());
            EXPECT_EQ(Md5Hex(body), c["body_md5"]);
            expected += body;
        }
        if (expected.empty())
            continue;
        ixmlFiles++;
        RunResult r = RunSondrel({"--ixml", FixturePath(name)});
        EXPECT_TRUE(r.out == expected) << r.out;
        EXPECT_EQ(r.err, "+OK\n");
        EXPECT_EQ(r.status, 0);
    }
    EXPECT_EQ(ixmlFiles, 3);
}

} // namespace
