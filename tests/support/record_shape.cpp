#include "record_shape.h"

#include "record_keys.h"
#include "run_tool.h"

#include <gtest/gtest.h>

#include <set>

using Json = nlohmann::ordered_json;

namespace
{

void ExpectKeys(const Json& object, const std::set<std::string>& keys, const char* what)
{
    ASSERT_TRUE(object.is_object()) << what;
    std::set<std::string> seen;
    for (const auto& item : object.items())
        seen.insert(item.key());
    EXPECT_EQ(seen, keys) << what;
}

bool IsUnsigned(const Json& v)
{
    return v.is_number_unsigned() || (v.is_number_integer() && v.get<int64_t>() >= 0);
}

bool NumberOrNull(const Json& v)
{
    return v.is_null() || v.is_number();
}

void ExpectLoudnessShape(const Json& l)
{
    if (l.is_null())
        return;
    ExpectKeys(l,
               {"integrated_lufs", "range_lu", "max_true_peak_dbtp", "max_momentary_lufs",
                "max_short_term_lufs"},
               "loudness");
    for (const auto& item : l.items())
        EXPECT_TRUE(NumberOrNull(item.value())) << item.key();
}

// Fields listed in the order their bytes are stored: a chunk cut short
// loses a tail of them, so none may be present after a null one.
void ExpectCutAsAPrefix(const Json& object, std::initializer_list<const char*> inByteOrder)
{
    const char* firstNull = nullptr;
    for (const char* k : inByteOrder) {
        if (object[k].is_null())
            firstNull = firstNull ? firstNull : k;
        else
            EXPECT_EQ(firstNull, nullptr) << k << " is present after the null " << firstNull;
    }
}

void ExpectFormatShape(const Json& f)
{
    if (f.is_null())
        return;
    ExpectKeys(f,
               {"tag", "name", "channels", "sample_rate", "byte_rate", "block_align",
                "bits_per_sample", "valid_bits", "channel_mask", "speakers", "sub_format"},
               "format");
    EXPECT_EQ(f["name"].is_string(), !f["tag"].is_null());
    ExpectCutAsAPrefix(f, {"tag", "channels", "sample_rate", "byte_rate", "block_align",
                           "bits_per_sample"});
    for (const char* k : {"tag", "channels", "sample_rate", "byte_rate", "block_align"})
        EXPECT_TRUE(f[k].is_null() || IsUnsigned(f[k])) << k;
    EXPECT_TRUE(f["speakers"].is_null() || f["speakers"].is_array());
}

void ExpectNestedShapes(const Json& r)
{
    for (const Json& c : r["chunks"]) {
        ExpectKeys(c, {"id", "offset", "size", "complete"}, "chunk");
        EXPECT_TRUE(c["id"].is_string() && IsUnsigned(c["offset"]) && IsUnsigned(c["size"]));
        EXPECT_TRUE(c["complete"].is_boolean());
    }
    ExpectFormatShape(r["format"]);
    if (!r["audio"].is_null())
        ExpectKeys(r["audio"], {"offset", "bytes", "bytes_in_file", "frames", "seconds"}, "audio");
    if (!r["bext"].is_null()) {
        ExpectKeys(r["bext"],
                   {"version", "description", "originator", "originator_reference",
                    "origination_date", "origination_time", "time_reference", "umid", "loudness",
                    "coding_history"},
                   "bext");
        ExpectLoudnessShape(r["bext"]["loudness"]);
        ExpectCutAsAPrefix(r["bext"],
                           {"description", "originator", "originator_reference",
                            "origination_date", "origination_time", "time_reference", "version"});
        EXPECT_TRUE(r["bext"]["coding_history"].is_null() ||
                    r["bext"]["coding_history"].is_array());
    }
    EXPECT_TRUE(r["info"].is_object());
    for (const Json& c : r["cues"])
        ExpectKeys(c, {"id", "position", "seconds", "label", "note", "text"}, "cue");
    if (!r["ixml"].is_null())
        ExpectKeys(r["ixml"],
                   {"bytes", "well_formed", "project", "scene", "take", "tape", "note", "circled",
                    "tracks"},
                   "ixml");
    ExpectKeys(r["md5"], {"stored", "computed"}, "md5");
    ExpectLoudnessShape(r["loudness_measured"]);
    if (!r["signal"].is_null())
        ExpectKeys(r["signal"],
                   {"peak_dbfs", "rms_dbfs", "dc_offset_dbfs", "clipped_samples", "silent_channels",
                    "identical_channels", "correlation", "effective_bits", "silences"},
                   "signal");
    for (const Json& f : r["findings"]) {
        ExpectKeys(f, {"severity", "code", "chunk", "offset", "message"}, "finding");
        EXPECT_TRUE(f["severity"] == "error" || f["severity"] == "warning" ||
                    f["severity"] == "info");
    }
}

} // namespace

std::vector<Json> ParseRecords(const std::string& out)
{
    std::vector<Json> records;
    EXPECT_TRUE(out.empty() || out.back() == '\n') << "JSON Lines end with a newline";
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos)
            end = out.size();
        const Json record = Json::parse(out.substr(at, end - at), nullptr, false);
        EXPECT_FALSE(record.is_discarded()) << out.substr(at, std::min<size_t>(end - at, 200));
        EXPECT_TRUE(record.is_object());
        // The line is written piece by piece: it must be nlohmann-json's own compact form.
        EXPECT_TRUE(record.is_discarded() || record.dump() == out.substr(at, end - at))
            << out.substr(at, std::min<size_t>(end - at, 200));
        records.push_back(record);
        at = end + 1;
    }
    return records;
}

void ExpectRecordShape(const Json& r)
{
    std::vector<std::string> keys;
    for (const auto& item : r.items())
        keys.push_back(item.key());
    ASSERT_EQ(keys, std::vector<std::string>(RecordKeys.begin(), RecordKeys.end()));
    EXPECT_TRUE(r["path"].is_string());
    EXPECT_TRUE(r["path_bytes"].is_null() || r["path_bytes"].is_string());
    ASSERT_TRUE(r["status"] == "ok" || r["status"] == "error");
    EXPECT_TRUE(r["chunks"].is_array() && r["cues"].is_array() && r["findings"].is_array());
    if (r["status"] == "error") {
        EXPECT_TRUE(r["error"].is_string());
        EXPECT_EQ(r["chunks"], Json::array());
        for (const char* k : {"format", "audio", "bext", "ixml", "loudness_measured", "signal"})
            EXPECT_TRUE(r[k].is_null()) << k;
        EXPECT_EQ(r["info"], Json::object());
        EXPECT_EQ(r["cues"], Json::array());
        EXPECT_EQ(r["md5"], (Json{{"stored", nullptr}, {"computed", nullptr}}));
    } else {
        EXPECT_TRUE(r["error"].is_null());
    }
    ExpectNestedShapes(r);
}

Json InspectOne(const std::string& path, const std::vector<std::string>& options)
{
    std::vector<std::string> args = {"--json"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(path);
    const RunResult run = RunSondrel(args);
    EXPECT_EQ(run.err, "");
    const std::vector<Json> records = ParseRecords(run.out);
    if (records.size() != 1)
        return nullptr;
    ExpectRecordShape(records[0]);
    return records[0];
}
