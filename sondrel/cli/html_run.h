// --html FILE: the report of a run, beside the records or from saved ones.
#pragma once

#include "inspect/record.h"
#include "report/run_summary.h"

#include <cstdio>
#include <string>

namespace sondrel {

// The report's file, opened before the run so that a path that cannot be
// written stops it before any file is read.
class HtmlReportFile
{
  public:
    HtmlReportFile() = default;
    ~HtmlReportFile();
    HtmlReportFile(const HtmlReportFile&) = delete;
    HtmlReportFile& operator=(const HtmlReportFile&) = delete;

    // "-" is standard output.  False, with the message written, on failure.
    bool Open(const char* path);
    bool IsOpen() const { return file_ != nullptr; }
    // Takes one record of the run.
    void Add(const Record& r);
    RunSummary& Summary() { return summary_; }
    // Writes the page and closes the file; false, with the message written,
    // on failure.
    bool Finish();

  private:
    std::string path_;
    FILE* file_ = nullptr;
    RunSummary summary_;
};

// sondrel --html FILE --records RECORDS: 0 when the page is written, 1 when
// a line of RECORDS is not a record, 2 when RECORDS cannot be read or FILE
// cannot be written.
int RunRecordsReport(const char* html, const char* records);

} // namespace sondrel
