// The report's charts, drawn as inline SVG: the findings per code, the
// loudness histogram and the loudness against true peak.
#include "report/html_page.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace sondrel {

namespace
{

int SeverityOrder(const std::string& s)
{
    return s == "error" ? 0 : s == "warning" ? 1 : s == "info" ? 2 : 3;
}

std::string SeverityClass(const std::string& s)
{
    return SeverityOrder(s) < 3 ? "sev-" + s : "sev-other";
}

constexpr double ChartWidth = 760;
constexpr double PlotWidth = 560; // the loudness plots, two side by side

} // namespace

// One bar a code, longest first within each severity, each a link that
// filters the table to the code's files.
void WriteFindingsChart(PageOut& out, const RunSummary& s)
{
    std::vector<std::pair<std::string, CodeCount>> bars(s.codes.begin(), s.codes.end());
    std::stable_sort(bars.begin(), bars.end(), [](const auto& a, const auto& b) {
        const int sa = SeverityOrder(a.second.severity), sb = SeverityOrder(b.second.severity);
        return sa != sb ? sa < sb : a.second.files > b.second.files;
    });
    uint64_t most = 1;
    for (const auto& b : bars)
        most = std::max(most, b.second.files);
    const double row = 26, labelWidth = 230, barWidth = 380;
    const double height = row * static_cast<double>(bars.size()) + 8;
    out << "<svg class=\"chart\" role=\"img\" aria-label=\"Files per finding code\" viewBox=\"0 0 ";
    out.Number(ChartWidth, 0) << " ";
    out.Number(height, 0) << "\" width=\"";
    out.Number(ChartWidth, 0) << "\" height=\"";
    out.Number(height, 0) << "\">\n";
    double y = 4;
    for (const auto& [code, c] : bars) {
        const double w = std::max(2.0, barWidth * static_cast<double>(c.files) / double(most));
        out << "<a href=\"#" << FragmentOf(code) << "\"><g class=\"bar "
            << SeverityClass(c.severity) << "\" data-code=\"";
        out.Text(code) << "\" data-severity=\"";
        out.Text(c.severity) << "\" data-files=\"";
        out.Count(c.files) << "\" data-findings=\"";
        out.Count(c.findings) << "\"><title>";
        out.Text(code) << ": ";
        out.Grouped(c.files) << " files, ";
        out.Grouped(c.findings) << " findings (";
        out.Text(c.severity) << ")</title><text class=\"label\" x=\"";
        out.Number(labelWidth - 8, 0) << "\" y=\"";
        out.Number(y + 16, 0) << "\">";
        out.Text(code) << "</text><rect x=\"";
        out.Number(labelWidth, 0) << "\" y=\"";
        out.Number(y + 3, 0) << "\" width=\"";
        out.Number(w, 1) << "\" height=\"";
        out.Number(row - 8, 0) << "\"/><text class=\"value\" x=\"";
        out.Number(labelWidth + w + 6, 1) << "\" y=\"";
        out.Number(y + 16, 0) << "\">";
        out.Grouped(c.files) << (c.files == 1 ? " file · " : " files · ");
        out.Text(c.severity) << "</text></g></a>\n";
        y += row;
    }
    out << "</svg>\n";
}

namespace
{

struct Axis {
    double low, high, from, width;
    double At(double v) const { return from + (v - low) / (high - low) * width; }
};

void Line(PageOut& out, const char* cls, double x1, double y1, double x2, double y2)
{
    out << "<line class=\"" << cls << "\" x1=\"";
    out.Number(x1, 1) << "\" y1=\"";
    out.Number(y1, 1) << "\" x2=\"";
    out.Number(x2, 1) << "\" y2=\"";
    out.Number(y2, 1) << "\"/>";
}

void Label(PageOut& out, const char* cls, double x, double y, std::string_view text)
{
    out << "<text class=\"" << cls << "\" x=\"";
    out.Number(x, 1) << "\" y=\"";
    out.Number(y, 1) << "\">" << text << "</text>";
}

// Ticks every `step` along x, below the plot at `base`.
void XTicks(PageOut& out, const Axis& x, double base, int step, const char* unit)
{
    for (int v = static_cast<int>(std::ceil(x.low / step)) * step; v <= x.high; v += step) {
        Line(out, "tick", x.At(v), base, x.At(v), base + 4);
        Label(out, "tick-label", x.At(v), base + 16, std::to_string(v));
    }
    Label(out, "axis-label", x.from + x.width / 2, base + 32, unit);
}

void Histogram(PageOut& out, const RunSummary& s, int low, int high)
{
    uint64_t most = 1;
    for (int b = low; b < high; b++)
        most = std::max(most, s.histogram[static_cast<size_t>(b - RunSummary::HistogramLow)]);
    const double top = 24, base = 204;
    const Axis x{double(low), double(high), 50, PlotWidth - 70};
    out << "<svg class=\"chart\" id=\"histogram\" role=\"img\" aria-label=\"Integrated loudness, "
           "files per 1 LU\" viewBox=\"0 0 560 250\" width=\"560\" height=\"250\">";
    for (int b = low; b < high; b++) {
        const uint64_t n = s.histogram[static_cast<size_t>(b - RunSummary::HistogramLow)];
        if (n == 0)
            continue;
        const double h = (base - top) * double(n) / double(most);
        out << "<rect class=\"bin\" data-lufs=\"" << std::to_string(b) << "\" data-files=\"";
        out.Count(n) << "\" x=\"";
        out.Number(x.At(b) + 1, 1) << "\" y=\"";
        out.Number(base - h, 1) << "\" width=\"";
        out.Number(x.At(b + 1) - x.At(b) - 2, 1) << "\" height=\"";
        out.Number(h, 1) << "\"><title>" << std::to_string(b) << " to " << std::to_string(b + 1)
                         << " LUFS: ";
        out.Grouped(n) << " files</title></rect>";
    }
    Line(out, "axis", x.from, base, x.from + x.width, base);
    Line(out, "target", x.At(-23), top - 10, x.At(-23), base);
    Label(out, "target-label", x.At(-23) + 4, top - 2, "-23 LUFS target");
    Label(out, "tick-label", x.from - 6, top + 4, std::to_string(most));
    XTicks(out, x, base, 5, "integrated loudness (LUFS), 1 LU bins");
    out << "</svg>\n";
}

void Scatter(PageOut& out, const RunSummary& s, int low, int high)
{
    // From -12 to +3 dBTP, widened to the dots up to -100 and +30; a dot
    // beyond is drawn at the edge.
    double peakLow = -12, peakHigh = 3;
    for (const auto& p : s.Points()) {
        peakLow = std::clamp(std::floor(p.truePeak), -100.0, peakLow);
        peakHigh = std::clamp(std::ceil(p.truePeak), peakHigh, 30.0);
    }
    const double top = 14, base = 284;
    const Axis x{double(low), double(high), 50, PlotWidth - 70};
    const Axis y{peakLow, peakHigh, base, top - base};
    out << "<svg class=\"chart\" id=\"scatter\" role=\"img\" aria-label=\"Integrated loudness "
           "against maximum true peak\" viewBox=\"0 0 560 330\" width=\"560\" height=\"330\">";
    Line(out, "axis", x.from, base, x.from + x.width, base);
    Line(out, "axis", x.from, base, x.from, top);
    const int step = peakHigh - peakLow > 30 ? 10 : 3;
    for (int v = static_cast<int>(std::ceil(peakLow / step)) * step; v <= peakHigh; v += step)
        Label(out, "tick-label y", x.from - 6, y.At(v) + 4, std::to_string(v));
    Line(out, "target", x.from, y.At(-1), x.from + x.width, y.At(-1));
    Label(out, "target-label", x.from + 6, y.At(-1) - 5, "-1 dBTP");
    for (const auto& p : s.Points()) {
        const double px = std::clamp(p.lufs, double(low), double(high));
        out << "<circle class=\"" << (p.truePeak > -1 ? "dot over" : "dot") << "\" cx=\"";
        out.Number(x.At(px), 1) << "\" cy=\"";
        out.Number(y.At(std::clamp(p.truePeak, peakLow, peakHigh)), 1) << "\" r=\"3\"><title>";
        out.Text(p.path) << ": ";
        out.Number(p.lufs, 2) << " LUFS, ";
        out.Number(p.truePeak, 2) << " dBTP</title></circle>";
    }
    XTicks(out, x, base, 5, "integrated loudness (LUFS)");
    out << "<text class=\"axis-label\" transform=\"translate(14 150) rotate(-90)\">"
           "max true peak (dBTP)</text></svg>\n";
}

} // namespace

void WriteLoudnessCharts(PageOut& out, const RunSummary& s)
{
    // The bins that hold files, widened to show the target and a margin.
    int low = -23 - 5, high = -23 + 5;
    for (int b = 0; b < RunSummary::HistogramBins; b++) {
        if (s.histogram[static_cast<size_t>(b)] == 0)
            continue;
        low = std::min(low, RunSummary::HistogramLow + b - 1);
        high = std::max(high, RunSummary::HistogramLow + b + 2);
    }
    low = std::max(low, RunSummary::HistogramLow);
    high = std::min(high, RunSummary::HistogramLow + RunSummary::HistogramBins);
    out << "<div class=\"pair\"><div><h3>Integrated loudness</h3>\n<p class=\"note\">Files per "
           "1 LU.</p>\n";
    Histogram(out, s, low, high);
    if (s.loudnessOutOfRange > 0) {
        out << "<p class=\"note\">";
        out.Grouped(s.loudnessOutOfRange) << (s.loudnessOutOfRange == 1 ? " file" : " files")
                                          << " measured below -70 or above +3 LUFS: counted, "
                                             "not drawn.</p>\n";
    }
    out << "</div>";
    if (s.Points().empty()) {
        out << "</div>\n";
        return;
    }
    out << "<div><h3>Integrated loudness against maximum true peak</h3>\n<p class=\"note\">One "
           "dot a file; a hollow dot is above -1 dBTP.";
    if (s.PointsSeen() > s.Points().size()) {
        out << " A sample of ";
        out.Grouped(s.Points().size()) << " files of ";
        out.Grouped(s.PointsSeen()) << ", each equally likely to be drawn.";
    }
    out << "</p>\n";
    Scatter(out, s, low, high);
    out << "</div></div>\n";
}

} // namespace sondrel
