// qx-rz DIR: receives a ZMODEM batch into DIR with our receiver, on standard input and output
// (a pseudo-terminal, a pipe pair or a socket). The line is stdin/stdout, so the report goes to
// standard error: one line per file ("received PATH BYTES", "skipped PATH", "failed PATH") and
// a last line "finish CODE". Exits 0 only when the transfer finished with code 0.
//
// Options: -8 allows 8 KB subpackets; -w TICKS sets the wait for the sender's "OO" after ZFIN
// (55 ms ticks; default the program's 364).
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "comm/com_port.h"
#include "platform/files.h"
#include "protocol/cx_protocol.h"

namespace {

const char kUsage[] = "usage: qx-rz [-8] [-w TICKS] DIR   (DIR must exist)\n";
const char kHelp[] =
    "\n"
    "Receives a ZMODEM batch into DIR with Quorvex's own receiver, on standard input and\n"
    "output. Reports one line per file on standard error (\"received PATH BYTES\", \"skipped\n"
    "PATH\", \"failed PATH\") and then \"finish CODE\"; exits 0 only when the transfer\n"
    "finished with code 0.\n"
    "\n"
    "  -8          allow 8 KB subpackets\n"
    "  -w TICKS    wait for the sender's \"OO\" after ZFIN, in 55 ms ticks (default 364)\n"
    "  --help      this text\n"
    "  --version   the version\n";

}  // namespace

int main(int argc, char** argv) {
    bool big = false;
    int finishWait = 364;
    std::string dir;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("qx-rz %s\n", QX_VERSION);
            return 0;
        }
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-8") == 0) {
            big = true;
        } else if (std::strcmp(argv[i], "-w") == 0 && i + 1 < argc) {
            finishWait = std::atoi(argv[++i]);
        } else if (dir.empty() && argv[i][0] != '-') {
            dir = argv[i];
        } else {
            dir.clear();
            break;
        }
    }
    if (dir.empty() || !qx::DirectoryExists(dir)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    QCoreApplication app(argc, argv);

    qx::TCxComPort port;
    port.InSize = 20480;
    port.OutSize = 20480;
    port.AutoOpen = false;
    port.TapiMode = qx::tmOn;
    port.SetTapiHandles(0, 1);
    try {
        port.SetOpen(true);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot open the line: %s\n", e.what());
        return 1;
    }

    qx::TCxProtocol proto;
    proto.SetProtocolType(qx::ptZmodem);
    proto.SetHandshakeWait(1092);
    proto.SetStatusInterval(10);
    proto.SetFinishWait(finishWait);
    proto.Overhead = 20;
    proto.SetZmodemOptionOverride(true);
    proto.SetZmodemFileOption(qx::zfoWriteDifferent);
    proto.SetZmodem8K(big);
    proto.SetDestinationDirectory(dir);
    proto.SetComPort(&port);

    int result = 1;
    proto.OnProtocolLog = [](qx::TCxProtocol& p, int code) {
        const std::string name = p.FileName();
        if (code == 1)
            std::fprintf(stderr, "received %s %lld\n", name.c_str(),
                         static_cast<long long>(p.BytesTransferred()));
        else if (code == 2)
            std::fprintf(stderr, "failed %s\n", name.c_str());
        else if (code == 3)
            std::fprintf(stderr, "skipped %s\n", name.c_str());
    };
    proto.OnProtocolFinish = [&](qx::TCxProtocol&, int code) {
        std::fprintf(stderr, "finish %d\n", code);
        result = code == 0 ? 0 : 1;
        QCoreApplication::quit();
    };
    proto.StartReceive();
    app.exec();
    port.SetOpen(false);
    return result;
}
