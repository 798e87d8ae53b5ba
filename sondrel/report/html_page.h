// The pieces the report's page is written with: a buffered writer and the
// one escape that every text taken from a record goes through.
#pragma once

#include "report/run_summary.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace sondrel {

class PageOut
{
  public:
    explicit PageOut(FILE* sink) : sink_(sink) {}
    ~PageOut() { Flush(); }
    PageOut(const PageOut&) = delete;
    PageOut& operator=(const PageOut&) = delete;

    // The program's own markup, written as it is.
    PageOut& operator<<(std::string_view markup);
    // Text from a record: escaped for an element's content or an attribute.
    PageOut& Text(std::string_view text);
    PageOut& Number(double value, int decimals);
    PageOut& Count(uint64_t value);
    // A count for a person to read: 1,234,567.
    PageOut& Grouped(uint64_t value);
    bool Flush();

  private:
    FILE* sink_;
    std::string buffer_;
    bool failed_ = false;
};

// A code as the page's fragment names it ("#code=...").
std::string FragmentOf(std::string_view code);

const char* ClassName(FileClass c);

void WriteFindingsChart(PageOut& out, const RunSummary& s);
void WriteLoudnessCharts(PageOut& out, const RunSummary& s);

} // namespace sondrel
