// libFuzzer target: the whole extractor on an arbitrary archive file. Each input is written to
// a scratch file and extracted into a scratch directory, which is emptied afterwards; besides
// crashes and sanitizer reports, a file appearing outside that directory aborts.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "processing/zip/zx_exception.h"
#include "processing/zip/zx_unzipper.h"

namespace fs = std::filesystem;

namespace {

struct Scratch {
    fs::path Root, Archive, Out;
    Scratch() {
        Root =
            fs::temp_directory_path() / ("qx-fuzz-zip-" + std::to_string(std::random_device{}()));
        Out = Root / "out";
        Archive = Root / "in.zip";
        fs::create_directories(Out);
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(Root, ec);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Scratch scratch;
    {
        std::ofstream f(scratch.Archive, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    try {
        qx::TZxUnZipper z;
        z.SetFileName(scratch.Archive.string());
        z.SetBaseDirectory(scratch.Out.string());
        z.ExtractFiles("*.*");
        z.CloseArchive();
    } catch (const qx::EZxException&) {
    }
    for (const auto& e : fs::directory_iterator(scratch.Root))
        if (e.path() != scratch.Out && e.path() != scratch.Archive) std::abort();
    for (const auto& e : fs::directory_iterator(scratch.Out)) fs::remove_all(e.path());
    return 0;
}
