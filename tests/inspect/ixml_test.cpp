// An iXML body that holds references is read twice (its references are
// checked on a parse that keeps them): what is reported must be what was
// checked, whatever the second read returns.
#include "inspect/ixml.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace sondrel;

namespace
{

struct RereadCase {
    const char* name;
    std::string first, second; // the body on each read
    bool wellFormed;
    const char* note; // nullptr: not reported
    int reads;
};

std::vector<unsigned char> Bytes(const std::string& s)
{
    return {s.begin(), s.end()};
}

TEST(IxmlDocument, ReportsOnlyTheTextItChecked)
{
    const std::string checked = "<A><NOTE>a&amp;b</NOTE></A>";
    const std::vector<RereadCase> cases = {
        {"no reference: read once", "<A><NOTE>ab</NOTE></A>", "<A/>", true, "ab", 1},
        {"the same body twice", checked, checked, true, "a&b", 2},
        {"a bad reference on the first read", "<A><NOTE>a&bogus;b</NOTE></A>", checked, false,
         nullptr, 1},
        {"changed to a bad reference", checked, "<A><NOTE>a&bogus;</NOTE></A>", false, nullptr, 2},
        {"changed, same length", checked, "<A><NOTE>a&#0;bc</NOTE></A>", false, nullptr, 2},
        {"cut short", checked, checked.substr(0, 10), false, nullptr, 2},
    };
    for (const RereadCase& c : cases) {
        SCOPED_TRACE(c.name);
        int reads = 0;
        const IxmlDocument doc([&] { return Bytes(reads++ == 0 ? c.first : c.second); });
        EXPECT_EQ(reads, c.reads);
        EXPECT_EQ(doc.Fields().wellFormed, c.wellFormed);
        if (c.note) {
            EXPECT_EQ(doc.Fields().note, c.note);
        } else {
            EXPECT_FALSE(doc.Fields().note.has_value());
        }
    }
}

} // namespace
