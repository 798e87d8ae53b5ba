// --html FILE: a run's records, or saved ones, into the report's page.
#include "cli/html_run.h"

#include "inspect/record_writer.h"
#include "report/html_report.h"
#include "report/record_reader.h"

#include <cerrno>
#include <cstring>

namespace sondrel {

HtmlReportFile::~HtmlReportFile()
{
    if (file_ && file_ != stdout)
        fclose(file_);
}

bool HtmlReportFile::Open(const char* path)
{
    path_ = path;
    file_ = strcmp(path, "-") == 0 ? stdout : fopen(path, "we");
    if (!file_)
        fprintf(stderr, "sondrel: Error: Can't write the report %s: %s\n", path, strerror(errno));
    return file_ != nullptr;
}

void HtmlReportFile::Add(const Record& r)
{
    // The report reads the record as a saved one is read: one way in for
    // every output form.
    std::string line;
    JsonWriter writer(line);
    WriteRecord(writer, r);
    AddRecordLine(summary_, line);
}

bool HtmlReportFile::Finish()
{
    bool written = WriteHtmlReport(summary_, file_);
    if (file_ == stdout) {
        written = fflush(stdout) == 0 && written;
    } else {
        written = fclose(file_) == 0 && written;
    }
    file_ = nullptr;
    if (!written) {
        fprintf(stderr, "sondrel: Error: Can't write the report %s: %s\n", path_.c_str(),
                strerror(errno ? errno : EIO));
        clearerr(stdout);
    }
    return written;
}

int RunRecordsReport(const char* html, const char* records)
{
    const bool fromStdin = strcmp(records, "-") == 0;
    FILE* in = fromStdin ? stdin : fopen(records, "re");
    if (!in) {
        fprintf(stderr, "sondrel: Error: Can't read the records %s: %s\n", records,
                strerror(errno));
        return 2;
    }
    // Read whole before the page is opened: unreadable records leave an
    // earlier report in place.
    HtmlReportFile report;
    errno = 0;
    const bool read = ReadRecords(in, report.Summary());
    if (!read)
        fprintf(stderr, "sondrel: Error: Can't read the records %s: %s\n", records,
                strerror(errno));
    if (!fromStdin)
        fclose(in);
    if (!read || !report.Open(html))
        return 2;
    const RunSummary& s = report.Summary();
    if (!report.Finish())
        return 2;
    if (s.badLines > 0) {
        fprintf(stderr,
                "sondrel: Warning: %s: not an inspection record at line %llu (%llu in all)\n",
                records, static_cast<unsigned long long>(s.firstBadLine),
                static_cast<unsigned long long>(s.badLines));
        return 1;
    }
    return 0;
}

} // namespace sondrel
