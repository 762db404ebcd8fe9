// A misbehaving presentation program for the mailbox tests, run as a separate process:
//   hold NAME            takes the mailbox mutex, prints "locked", then waits to be killed
//   raw NAME BYTE COUNT  fills the first COUNT bytes of the region with BYTE (no terminator)
//   place-and-die NAME TEXT  places a message, then kills itself without any clean-up
//   close NAME           places the close marker
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/ipc_mailbox_region.h"
#include "platform/ipc_objects.h"

using namespace qx;

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string mode = argv[1];
    const std::string name = argv[2];
    UniqueFd mutex;
    if (ipc::OpenObject(name + "Semaphore", 0, mutex) != 0) return 3;
    if (!ipc::Lock(mutex.get(), ipc::LockMode::kExclusive)) return 3;
    UniqueFd section;
    ipc::Mapping map;
    if (ipc::OpenSection(name, ipc::kRegionSize, section, map) != 0) return 3;
    uint8_t* region = map.Data();
    if (mode == "hold") {
        std::printf("locked\n");
        std::fflush(stdout);
        for (;;) pause();
    } else if (mode == "raw" && argc == 5) {
        const int byte = std::atoi(argv[3]);
        const int count = std::atoi(argv[4]);
        std::memset(region + 1, byte, static_cast<size_t>(count - 1));
        region[0] = static_cast<uint8_t>(byte);
    } else if (mode == "place-and-die" && argc == 4) {
        ipc::PlaceMessage(region, argv[3]);
        raise(SIGKILL);
    } else if (mode == "close") {
        ipc::PlaceCloseMarker(region);
    } else {
        return 2;
    }
    ipc::Unlock(mutex.get());
    return 0;
}
