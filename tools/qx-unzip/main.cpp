// qx-unzip ARCHIVE DIR: extracts ARCHIVE into the existing directory DIR with the program's
// own extractor. Prints an archive-level error and exits 1; skipped entries are listed on
// standard error and do not change the exit code. Used by the benchmark and by hand.
#include <cstdio>
#include <string>

#include "processing/zip/zx_exception.h"
#include "processing/zip/zx_unzipper.h"

int main(int argc, char** argv) {
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
