#include "journal_stream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace qx {

bool StderrIsJournal() {
    const char* value = std::getenv("JOURNAL_STREAM");
    if (value == nullptr) return false;
    unsigned long long dev = 0, ino = 0;
    if (std::sscanf(value, "%llu:%llu", &dev, &ino) != 2) return false;
    struct stat st = {};
    if (fstat(STDERR_FILENO, &st) != 0) return false;
    return static_cast<unsigned long long>(st.st_dev) == dev &&
           static_cast<unsigned long long>(st.st_ino) == ino;
}

}  // namespace qx
