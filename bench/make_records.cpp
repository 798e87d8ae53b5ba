// Writes COUNT inspection records for html_compare.sh, cycling through the
// records read from standard input (those of tests/data): each gets its own
// path and, one in two, a measured loudness spread over -40 to -8 LUFS, so
// the report's histogram, its sample of dots and its table's cap all work.
//   make_records COUNT < templates.jsonl > records.jsonl
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 2) {
        fputs("usage: make_records COUNT < templates.jsonl > records.jsonl\n", stderr);
        return 2;
    }
    const unsigned long count = strtoul(argv[1], nullptr, 10);
    std::vector<std::string> templates;
    for (std::string line; std::getline(std::cin, line);)
        if (line.find("\"path\":\"") != std::string::npos)
            templates.push_back(line);
    if (templates.empty())
        return 1;
    std::mt19937 random(7);
    std::uniform_real_distribution<double> lufs(-40, -8), crest(14, 20);
    const std::string unmeasured = "\"loudness_measured\":null";
    std::string out;
    for (unsigned long i = 0; i < count; i++) {
        std::string r = templates[i % templates.size()];
        const size_t at = r.find("\"path\":\"") + 8;
        char path[64];
        snprintf(path, sizeof path, "archive/%03lu/take-%07lu.wav", i % 997, i);
        r.replace(at, r.find('"', at) - at, path);
        const size_t loud = r.find(unmeasured);
        if (i % 2 == 0 && loud != std::string::npos) {
            const double l = lufs(random), p = l + crest(random);
            char measured[200];
            snprintf(measured, sizeof measured,
                     "\"loudness_measured\":{\"integrated_lufs\":%.2f,\"range_lu\":5.1,"
                     "\"max_true_peak_dbtp\":%.2f,\"max_momentary_lufs\":-10.2,"
                     "\"max_short_term_lufs\":-12.3}",
                     l, p);
            r.replace(loud, unmeasured.size(), measured);
        }
        out += r;
        out += '\n';
        if (out.size() > (1 << 20)) {
            fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    }
    fwrite(out.data(), 1, out.size(), stdout);
    return fflush(stdout) == 0 ? 0 : 1;
}
