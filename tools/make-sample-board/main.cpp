// make-sample-board DIR [--date YYYYMMDD --hour HH]: writes a realistic weather board for
// bbs-sim, one ZIP per product, and prints what it wrote.
#include <QCoreApplication>

#include <cstdio>
#include <ctime>
#include <string>

#include "product_writer.h"

namespace {

void Usage() {
    std::fputs(
        "Usage: make-sample-board DIR [--date YYYYMMDD] [--hour HH]\n"
        "Writes one ZIP archive per product into DIR (an info file and its data file each):\n"
        "radar RN (a series of the last hours, named RNddhh), RD, RG; satellite EI, EV;\n"
        "charts PP, RR, PR, TN, TX; texts WK, WL; station forecasts TK, TM, TL and\n"
        "observations OB. The product time defaults to the current local hour.\n"
        "--version prints the version.\n",
        stdout);
}

bool ParseNumber(const char* text, int digits, int& out) {
    const std::string s = text;
    if (s.size() != static_cast<std::size_t>(digits)) return false;
    for (const char c : s) {
        if (c < '0' || c > '9') return false;
    }
    out = std::stoi(s);
    return true;
}

bool ValidDate(int date) {
    const int y = date / 10000, m = date / 100 % 100, d = date % 100;
    if (y < 1980 || m < 1 || m > 12 || d < 1) return false;
    static const int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return d <= (m == 2 && !leap ? 28 : days[m - 1]);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);  // image-format plug-ins are found through it
    std::string dir;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    sampleboard::ProductTime t{
        (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday, local.tm_hour};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        }
        if (arg == "--version") {
            std::printf("make-sample-board %s\n", QX_VERSION);
            return 0;
        }
        if (arg == "--date" && i + 1 < argc) {
            if (!ParseNumber(argv[++i], 8, t.date) || !ValidDate(t.date)) {
                std::fprintf(stderr, "make-sample-board: bad date %s\n", argv[i]);
                return 2;
            }
        } else if (arg == "--hour" && i + 1 < argc) {
            if (!ParseNumber(argv[++i], 2, t.hour) || t.hour > 23) {
                std::fprintf(stderr, "make-sample-board: bad hour %s\n", argv[i]);
                return 2;
            }
        } else if (!arg.empty() && arg[0] != '-' && dir.empty()) {
            dir = arg;
        } else {
            std::fprintf(stderr, "make-sample-board: bad argument %s (see --help)\n", arg.c_str());
            return 2;
        }
    }
    if (dir.empty()) {
        std::fputs("make-sample-board: a directory is needed (see --help)\n", stderr);
        return 2;
    }
    std::vector<sampleboard::WrittenArchive> written;
    std::string error;
    const bool ok = sampleboard::WriteBoard(dir, t, written, error);
    std::uintmax_t total = 0;
    for (const auto& a : written) {
        std::printf("%-11s %-34s", a.name.c_str(), a.description.c_str());
        for (const auto& [name, size] : a.members) {
            std::printf("  %s (%ju bytes)", name.c_str(), size);
            total += size;
        }
        std::printf("\n");
    }
    std::printf("%zu archives in %s, product time %08d %02d:00, %ju bytes before packing\n",
                written.size(), dir.c_str(), t.date, t.hour, total);
    if (!ok) {
        std::fprintf(stderr, "make-sample-board: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
