#include "zip_packer.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sampleboard {

bool PackZip(const std::filesystem::path& archive, const std::vector<std::filesystem::path>& files,
             std::string& error) {
    std::error_code ec;
    std::filesystem::remove(archive, ec);  // zip would otherwise add to an old archive
    std::vector<std::string> args = {"zip", "-q", "-j", "-X", "-9", archive.string()};
    for (const auto& f : files) args.push_back(f.string());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        const int devNull = ::open("/dev/null", O_WRONLY);
        if (devNull >= 0) ::dup2(devNull, 1);
        ::execvp("zip", argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            error = std::string("waitpid: ") + std::strerror(errno);
            return false;
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = WIFEXITED(status) && WEXITSTATUS(status) == 127
                    ? "zip not found (install Info-ZIP zip)"
                    : "zip failed for " + archive.string();
        return false;
    }
    return true;
}

}  // namespace sampleboard
