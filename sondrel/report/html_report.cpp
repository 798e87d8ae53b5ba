// The report's page: the run, the charts, the formats and the table of the
// files to open first.  Its script and style are allowed by their hashes
// and nothing else is: a record's text that slipped through unescaped
// could still not run.
#include "report/html_report.h"

#include "report/html_page.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cinttypes>
#include <vector>

namespace sondrel {

namespace
{

const char* const Style = R"(
body{font:15px/1.45 system-ui,sans-serif;margin:0;color:#1b1f24;background:#f4f5f7}
main{max-width:1120px;margin:0 auto;padding:22px 28px 48px}
h1{font-size:25px;margin:0 0 2px}h2{font-size:19px;margin:30px 0 10px;border-bottom:1px solid #cfd4da;padding-bottom:4px}
h3{font-size:15px;margin:16px 0 6px}.sub,.note{color:#4a4f55;margin:4px 0 12px}
.cards{display:flex;flex-wrap:wrap;gap:12px;margin:10px 0}
.card{background:#fff;border:1px solid #cfd4da;border-left:6px solid #8a9099;border-radius:6px;padding:8px 16px;min-width:110px;color:inherit;text-decoration:none}
.card .n{display:block;font-size:24px;font-weight:700}.card.error{border-left-color:#6e0b0b}
.card.warning{border-left-color:#e0a526}.card.unreadable{border-left-color:#2b2b2b}.card.clean{border-left-color:#d5dbe2}
.chart{display:block;max-width:100%;height:auto;background:#fff;border:1px solid #cfd4da;border-radius:6px}
.chart text{font:12px system-ui,sans-serif;fill:#1b1f24}.label{text-anchor:end}
.bar rect{stroke:#1b1f24;stroke-width:.6}.sev-error rect{fill:#6e0b0b}.sev-warning rect{fill:#e0a526}
.sev-info rect{fill:#dfe6ee}.sev-other rect{fill:#9aa0a6}a:hover .bar rect,a:focus .bar rect{fill:#2f5d9a}
.bin{fill:#4a6fa5}.dot{fill:#2f5d9a;fill-opacity:.55}.dot.over{fill:#fff;fill-opacity:1;stroke:#6e0b0b;stroke-width:1.5}
.axis,.tick{stroke:#4a4f55}.target{stroke:#1b1f24;stroke-dasharray:6 4;stroke-width:1.5}
.tick-label{text-anchor:middle}.tick-label.y{text-anchor:end}.chart .axis-label{text-anchor:middle;fill:#4a4f55}
.chart .target-label{font-weight:700}.chart .value{fill:#4a4f55}
.pair{display:flex;flex-wrap:wrap;gap:16px}.pair>div{flex:1 1 480px;min-width:0}
.mix{display:flex;flex-wrap:wrap;gap:14px;align-items:flex-start}
table{border-collapse:collapse;background:#fff}th,td{border:1px solid #cfd4da;padding:4px 8px;text-align:left;vertical-align:top}
th{background:#eceff3}td.num{text-align:right;font-variant-numeric:tabular-nums}
#rows{width:100%}#rows td.path{overflow-wrap:anywhere;min-width:180px}#rows td.msg{font-size:13px;min-width:260px}#rows td.desc{min-width:200px}#rows td.codes{white-space:nowrap}#rows td.msg p{margin:0 0 4px}
th button{font:inherit;font-weight:700;background:none;border:0;padding:0;cursor:pointer;color:inherit}
th[aria-sort=ascending] button::after{content:" \25B2"}th[aria-sort=descending] button::after{content:" \25BC"}
.sev{font-weight:700;font-size:12px;letter-spacing:.04em;text-transform:uppercase}
tr.error .sev,tr.unreadable .sev{color:#6e0b0b}tr.warning .sev{color:#7a5300}
.controls{display:flex;flex-wrap:wrap;gap:12px;align-items:center;margin:8px 0}
input,select{font:inherit;padding:3px 6px}
)";

// Sorts on a click of a column's button, filters on the controls, and reads
// "#code=..." (the chart's links) into the code filter.
const char* const Script = R"(
(function(){var t=document.getElementById('rows');if(!t)return;
var rows=Array.prototype.slice.call(t.tBodies[0].rows),q=document.getElementById('q'),
sev=document.getElementById('sev'),code=document.getElementById('code'),shown=document.getElementById('shown'),
col=new Intl.Collator(undefined,{numeric:true}),key=-1,dir=1;
function apply(){var s=q.value.toLowerCase(),v=sev.value,c=code.value,n=0;
rows.forEach(function(r){var ok=(!v||r.dataset.sev===v)&&(!c||r.dataset.codes.split('\n').indexOf(c)>=0)&&
(!s||r.textContent.toLowerCase().indexOf(s)>=0);r.hidden=!ok;if(ok)n++;});shown.textContent=n;}
function val(r,k){var d=r.cells[k].dataset.v;return d===undefined?r.cells[k].textContent:d;}
Array.prototype.forEach.call(t.tHead.rows[0].cells,function(th,k){var b=th.querySelector('button');
b.addEventListener('click',function(){dir=k===key?-dir:1;key=k;var num=th.dataset.type==='num';
rows.sort(function(a,b){var x=val(a,k),y=val(b,k);if(num){x=x===''?Infinity:+x;y=y===''?Infinity:+y;
return x===y?0:(x<y?-dir:dir);}return dir*col.compare(x,y);});
rows.forEach(function(r){t.tBodies[0].appendChild(r);});
Array.prototype.forEach.call(t.tHead.rows[0].cells,function(h){h.removeAttribute('aria-sort');});
th.setAttribute('aria-sort',dir>0?'ascending':'descending');});});
function fromHash(){var m=/^#code=(.*)$/.exec(location.hash);if(m){code.value=decodeURIComponent(m[1]);apply();
t.scrollIntoView();}}
q.addEventListener('input',apply);sev.addEventListener('change',apply);code.addEventListener('change',apply);
window.addEventListener('hashchange',fromHash);fromHash();apply();})();
)";

// 'sha256-...' of a text, as a Content-Security-Policy source.
std::string HashSource(std::string_view text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr);
    unsigned char base64[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
    const int length = EVP_EncodeBlock(base64, digest, static_cast<int>(size));
    return "'sha256-" + std::string(reinterpret_cast<char*>(base64), size_t(length)) + "'";
}

std::string Duration(double seconds)
{
    const auto whole = static_cast<uint64_t>(seconds + 0.5);
    char text[64];
    snprintf(text, sizeof text, "%" PRIu64 ":%02u:%02u", whole / 3600,
             static_cast<unsigned>(whole / 60 % 60), static_cast<unsigned>(whole % 60));
    return text;
}

std::string Size(uint64_t bytes)
{
    const char* units[] = {"bytes", "kB", "MB", "GB", "TB", "PB"};
    double v = double(bytes);
    int u = 0;
    while (v >= 1000 && u < 5) {
        v /= 1000;
        u++;
    }
    char text[64];
    snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.2f %s", v, units[u]);
    return text;
}

const char* Files(uint64_t n)
{
    return n == 1 ? " file" : " files";
}

void Card(PageOut& out, const char* cls, const char* key, uint64_t n, const char* what)
{
    out << "<div class=\"card " << cls << "\" data-key=\"" << key << "\" data-n=\"";
    out.Count(n) << "\"><span class=\"n\">";
    out.Grouped(n) << "</span>" << what << "</div>\n";
}

void WriteRun(PageOut& out, const RunSummary& s)
{
    out << "<section id=\"run\"><h2>The run</h2>\n<p class=\"sub\">";
    out.Grouped(s.files) << (s.files == 1 ? " file, " : " files, ") << Duration(s.seconds)
                         << " of audio (h:mm:ss), " << Size(s.bytes) << " (";
    out.Grouped(s.bytes) << " bytes).</p>\n<div class=\"cards\">\n";
    Card(out, "files", "files", s.files, "files");
    Card(out, "clean", "clean", s.clean, "clean");
    Card(out, "warning", "warnings", s.warnings, "with warnings");
    Card(out, "error", "errors", s.errors, "with errors");
    Card(out, "unreadable", "unreadable", s.unreadable, "unreadable");
    out << "</div>\n";
    if (s.badLines > 0) {
        out << "<p class=\"note\" id=\"bad-lines\">";
        out.Count(s.badLines) << " lines of the records were not inspection records (the first: "
                                 "line ";
        out.Count(s.firstBadLine) << ").</p>\n";
    }
    out << "</section>\n";
}

void WriteFindings(PageOut& out, const RunSummary& s)
{
    out << "<section id=\"findings\"><h2>Findings per code</h2>\n";
    if (s.codes.empty()) {
        out << "<p class=\"note\">No findings.</p></section>\n";
        return;
    }
    out << "<ul id=\"severities\">";
    for (const char* severity : {"error", "warning", "info"}) {
        const auto files = s.severityFiles.find(severity),
                   found = s.severityFindings.find(severity);
        const uint64_t nFiles = files == s.severityFiles.end() ? 0 : files->second;
        const uint64_t nFound = found == s.severityFindings.end() ? 0 : found->second;
        out << "<li data-severity=\"" << severity << "\" data-files=\"";
        out.Count(nFiles) << "\" data-findings=\"";
        out.Count(nFound) << "\"><b>" << severity << "</b>: ";
        out.Grouped(nFound) << (nFound == 1 ? " finding in " : " findings in ");
        out.Grouped(nFiles) << Files(nFiles) << "</li>";
    }
    out << "</ul>\n<p class=\"note\">Files per code; a bar leads to its files in the table.</p>\n";
    WriteFindingsChart(out, s);
    out << "</section>\n";
}

uint64_t FilesWith(const RunSummary& s, const char* code)
{
    const auto it = s.codes.find(code);
    return it == s.codes.end() ? 0 : it->second.files;
}

void WriteMeasured(PageOut& out, const RunSummary& s)
{
    if (s.loudnessFiles > 0) {
        out << "<section id=\"loudness\"><h2>Loudness</h2>\n<p class=\"sub\">";
        out.Grouped(s.loudnessFiles)
            << Files(s.loudnessFiles) << " with an integrated loudness measured.</p>\n";
        WriteLoudnessCharts(out, s);
        out << "</section>\n";
    }
    const char* codes[][2] = {{"clipping", "with clipping"},
                              {"channel-silent", "with a silent channel"},
                              {"dc-offset", "with DC offset"}};
    bool any = s.signalMeasured;
    for (const auto& c : codes)
        any = any || FilesWith(s, c[0]) > 0;
    if (!any)
        return;
    out << "<section id=\"signal\"><h2>Signal</h2>\n<div class=\"cards\">\n";
    for (const auto& c : codes) {
        out << "<a class=\"card " << (FilesWith(s, c[0]) > 0 ? "warning" : "clean") << "\" href=\"#"
            << FragmentOf(c[0]) << "\" data-key=\"" << c[0] << "\" data-n=\"";
        out.Count(FilesWith(s, c[0])) << "\"><span class=\"n\">";
        out.Grouped(FilesWith(s, c[0]))
            << "</span>" << Files(FilesWith(s, c[0])) + 1 << " " << c[1] << "</a>\n";
    }
    out << "</div></section>\n";
}

void MixTable(PageOut& out, const char* title, const BoundedCounts& counts)
{
    std::vector<std::pair<std::string, uint64_t>> rows(counts.Counts().begin(),
                                                       counts.Counts().end());
    std::stable_sort(rows.begin(), rows.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    out << "<table class=\"mix-table\"><thead><tr><th>" << title
        << "</th><th>files</th></tr></thead><tbody>";
    for (const auto& [value, n] : rows) {
        out << "<tr><td>";
        out.Text(value) << "</td><td class=\"num\">";
        out.Grouped(n) << "</td></tr>";
    }
    out << "</tbody></table>\n";
}

void WriteFormats(PageOut& out, const RunSummary& s)
{
    out << "<section id=\"formats\"><h2>Formats</h2>\n<p class=\"note\">Files read as WAVE, by "
           "what their headers say.</p>\n<div class=\"mix\">\n";
    MixTable(out, "container", s.containers);
    MixTable(out, "format", s.formatNames);
    MixTable(out, "sample rate", s.rates);
    MixTable(out, "bits", s.bitDepths);
    MixTable(out, "channels", s.channelCounts);
    out << "</div></section>\n";
}

void OptionalCell(PageOut& out, const std::optional<double>& v)
{
    out << "<td class=\"num\" data-v=\"";
    if (v)
        out.Number(*v, 2);
    out << "\">";
    if (v)
        out.Number(*v, 2);
    out << "</td>";
}

void WriteRow(PageOut& out, const FileRow& r)
{
    const char* cls = ClassName(r.kind);
    out << "<tr class=\"" << cls << "\" data-sev=\"" << cls << "\" data-codes=\"";
    // Codes apart by a line end, which no escaped text holds.
    for (size_t i = 0; i < r.codes.size(); i++)
        out.Text(r.codes[i]) << (i + 1 < r.codes.size() ? "\n" : "");
    out << "\"><td class=\"num\">";
    out.Count(r.order + 1) << "</td><td class=\"sev\" data-v=\"";
    out.Count(static_cast<uint64_t>(r.kind)) << "\">" << cls << "</td><td class=\"path\">";
    out.Text(r.path) << "</td><td class=\"codes\">";
    for (const std::string& code : r.codes) {
        out << "<div>";
        out.Text(code) << "</div>";
    }
    out << "</td><td class=\"msg\">";
    for (const std::string& m : r.messages) {
        out << "<p>";
        out.Text(m) << "</p>";
    }
    out << "</td><td class=\"msg desc\">";
    if (!r.description.empty()) {
        out << "<p>";
        out.Text(r.description) << "</p>";
    }
    if (!r.note.empty()) {
        out << "<p>iXML note: ";
        out.Text(r.note) << "</p>";
    }
    out << "</td>";
    OptionalCell(out, r.lufs);
    OptionalCell(out, r.truePeak);
    out << "</tr>\n";
}

void WriteTable(PageOut& out, const RunSummary& s)
{
    const std::vector<FileRow> rows = s.Rows();
    out << "<section id=\"files\"><h2>Files with findings</h2>\n<p class=\"note\">Errors first, "
           "then in the order of the records. <span id=\"shown\">";
    out.Count(rows.size()) << "</span> shown of <span id=\"kept\">";
    out.Count(rows.size()) << "</span> rows";
    if (s.RowsLeftOut() > 0) {
        out << "; <span id=\"left-out\">";
        out.Count(s.RowsLeftOut()) << "</span> more" << Files(s.RowsLeftOut())
                                   << " with findings are in the records but not in this table";
    }
    out << ".</p>\n<div class=\"controls\"><label>Filter <input id=\"q\" type=\"search\" "
           "placeholder=\"path, code or message\"></label><label>Severity <select id=\"sev\">"
           "<option value=\"\">all</option><option>error</option><option>unreadable</option>"
           "<option>warning</option><option>info</option></select></label><label>Code "
           "<select id=\"code\"><option value=\"\">all</option>";
    for (const auto& [code, c] : s.codes) {
        out << "<option value=\"";
        out.Text(code) << "\">";
        out.Text(code) << "</option>";
    }
    out << "</select></label></div>\n<table id=\"rows\"><thead><tr><th data-type=\"num\">"
           "<button>#</button></th><th data-type=\"num\"><button>severity</button></th><th>"
           "<button>file</button></th><th><button>codes</button></th><th><button>messages"
           "</button></th><th><button>description, iXML note</button></th><th data-type=\"num\">"
           "<button>LUFS</button></th><th data-type=\"num\"><button>dBTP</button></th></tr>"
           "</thead><tbody>\n";
    for (const FileRow& r : rows)
        WriteRow(out, r);
    out << "</tbody></table></section>\n";
}

} // namespace

bool WriteHtmlReport(const RunSummary& s, FILE* sink)
{
    PageOut out(sink);
    out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
           "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
           "script-src "
        << HashSource(Script) << "; style-src " << HashSource(Style)
        << "; base-uri 'none'; form-action 'none'\">\n<meta name=\"viewport\" "
           "content=\"width=device-width, initial-scale=1\">\n<title>sondrel report: ";
    out.Grouped(s.files) << " files</title>\n<style>" << Style << "</style>\n</head><body><main>\n"
                         << "<h1>sondrel report</h1>\n";
    WriteRun(out, s);
    WriteFindings(out, s);
    WriteMeasured(out, s);
    WriteFormats(out, s);
    WriteTable(out, s);
    out << "</main>\n<script>" << Script << "</script>\n</body></html>\n";
    return out.Flush();
}

} // namespace sondrel
