// bbs-sim: a Hayes modem with the weather board behind it, on a pseudo-terminal, so that every
// call of the program can be tested and shown without a modem. See --help.
#include <signal.h>

#include <cstdio>

#include "sim_options.h"
#include "simulator.h"

int main(int argc, char** argv) {
    std::string error;
    const auto options = bbssim::ParseOptions(argc, argv, error);
    if (!options) {
        std::fprintf(stderr, "bbs-sim: %s\n", error.c_str());
        return 2;
    }
    if (options->help) {
        std::fputs(bbssim::HelpText(), stdout);
        return 0;
    }
    if (options->version) {
        std::printf("bbs-sim %s\n", QX_VERSION);
        return 0;
    }
    // A reader of the first line may close stdout; later lines must not kill the simulator.
    ::signal(SIGPIPE, SIG_IGN);
    bbssim::Simulator simulator(*options);
    return simulator.Run();
}
