// qx-unzip ARCHIVE DIR: extracts ARCHIVE into the existing directory DIR with the program's
// own extractor. Prints an archive-level error and exits 1; skipped entries are listed on
// standard error and do not change the exit code. Used by the benchmark and by hand.
#include <cstdio>
#include <cstring>
#include <string>

#include "processing/zip/zx_exception.h"
#include "processing/zip/zx_unzipper.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(
                "usage: qx-unzip ARCHIVE DIR\n\n"
                "Extracts ARCHIVE into the existing directory DIR with Quorvex's own extractor.\n"
                "An archive-level error is printed and exits 1; skipped entries are listed on\n"
                "standard error and do not change the exit status. --version prints the version.\n",
                stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("qx-unzip %s\n", QX_VERSION);
            return 0;
        }
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: qx-unzip ARCHIVE DIR\n");
        return 2;
    }
    qx::TZxUnZipper unzipper;
    unzipper.OnEntryFailed = [](const std::string& name, const std::string& reason) {
        std::fprintf(stderr, "skipped %s: %s\n", name.c_str(), reason.c_str());
    };
    try {
        unzipper.SetFileName(argv[1]);
        unzipper.SetBaseDirectory(argv[2]);
        unzipper.ExtractFiles("*.*");
        unzipper.CloseArchive();
    } catch (const qx::EZxException& e) {
        std::printf("%s\n", e.what());
        return 1;
    }
    return 0;
}
