// The program's reaction to the protocol's events: each file announced with its product type,
// the watchdog kept alive, the name and progress shown, the received names collected for the
// processing pipeline, and the dialogue continued (or the line hung up) after the transfer.
#include "bbs_module.h"
#include "comm/error_msg.h"
#include "processing/pending_archives.h"
#include "shell/main_window.h"

namespace qx {

namespace {

constexpr int kWatchFile = 600;  // seconds: each file start and each file received

// Protocol log codes.
enum : int { kLogStart = 0, kLogReceived = 1, kLogFailed = 2, kLogSkipped = 3 };

struct Description {
    const char* Code;
    const char* Text;
};

// Compared in this order; a later match replaces an earlier one.
constexpr Description kTwoLetter[] = {
    {"WK", "short range text"},
    {"WL", "medium range text"},
    {"TK", "hourly forecast table"},
    {"TM", "3-hourly forecast table"},
    {"TL", "daily forecast table"},
    {"RN", "radar image NL"},
    {"RD", "radar image D"},
    {"RG", "radar image GB/IRL"},
    {"OB", "observations"},
    {"PP", "pressure maps"},
    {"TN", "temperature maps (minimum)"},
    {"TX", "temperature maps (maximum)"},
    {"RR", "precipitation maps (6-hourly)"},
    {"PR", "precipitation maps (daily)"},
    {"EI", "satellite picture infrared"},
    {"EV", "satellite picture visible"},
};
constexpr Description kEightLetter[] = {
    {"RN999999", "forecast radar images NL"},
    {"RD999999", "forecast radar images D"},
    {"RG999999", "forecast radar images GB/IRL"},
};

// The name without any directory part ("/", "\" or a drive's ":").
std::string WithoutDirectory(const std::string& path) {
    const size_t cut = path.find_last_of("/\\:");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace

std::string TBBSmodule::CollectText(const std::string& offeredName) {
    std::string name = WithoutDirectory(offeredName);
    const size_t dot = name.find('.');
    if (dot != std::string::npos) name = name.substr(0, dot);
    std::string description;
    for (const Description& d : kTwoLetter) {
        if (name.compare(0, 2, d.Code) == 0 && name.size() >= 2) description = d.Text;
    }
    for (const Description& d : kEightLetter) {
        if (name.size() >= 8 && name.compare(0, 8, d.Code) == 0) description = d.Text;
    }
    return "Collect " + description + " (" + name + ")";
}

int TBBSmodule::ProgressPercent(int64_t transferred, int64_t length) {
    if (length <= 0 || transferred <= 0) return 0;
    // 64-bit arithmetic: a file above 21 MB would overflow the product in 32 bits.
    const int64_t percent = transferred * 100 / length;
    return percent > 100 ? 100 : static_cast<int>(percent);
}

void TBBSmodule::ProtocolProtocolAccept(bool& accept, std::string& fileName) {
    Log(CollectText(fileName), 0);
    accept = true;
}

void TBBSmodule::ProtocolProtocolLog(int logCode) {
    const std::string name = WithoutDirectory(Protocol.FileName());
    switch (logCode) {
        case kLogStart:
            Log("Collect file: " + name, 5);
            if (frmVudaDUD != nullptr) frmVudaDUD->SetFileLabel(name);
            SetWatchdog(kWatchFile, true);
            break;
        case kLogReceived:
            Log("File collected: " + name, 0);
            // Listed at once, so that no shutdown or crash before the processing loses it.
            if (!TempDir.empty()) AddPendingArchive(TempDir, name);
            if (frmVudaDUD != nullptr) {
                frmVudaDUD->ReceivedFiles.Add(name);
                frmVudaDUD->SetFileLabel("");
            }
            LastTriesLeft = 0;
            SetWatchdog(kWatchFile, true);
            break;
        case kLogSkipped:
            Log("File already present: " + name, 0);
            if (frmVudaDUD != nullptr) frmVudaDUD->SetFileLabel("");
            LastTriesLeft = 0;
            break;
        case kLogFailed:
            // Not listed: a partial file is never handed to the processing.
            Log("Error while collecting file: " + name, 0);
            if (frmVudaDUD != nullptr) frmVudaDUD->SetFileLabel("");
            break;
        default:
            break;
    }
}

void TBBSmodule::ProtocolProtocolStatus(unsigned /*options*/) {
    if (frmVudaDUD != nullptr) {
        frmVudaDUD->SetProgress(
            ProgressPercent(Protocol.BytesTransferred(), Protocol.FileLength()));
    }
}

void TBBSmodule::ProtocolProtocolError(int errorCode) {
    Receiving = false;
    Log("Protocol error: " + ErrorMsg(errorCode), 0);
}

void TBBSmodule::ProtocolProtocolFinish(int errorCode) {
    Receiving = false;
    Log("File received: " + ErrorMsg(errorCode), 10);
    if (frmVudaDUD != nullptr) frmVudaDUD->SetProgress(0);
    if (errorCode != 0) {
        // The served request stays queued: the next call asks for it again.
        PostToWindow(MsgHangUp);
    } else {
        ArmReceiveSet();
        QueueDelete(RequestIndex);
        servingEntry_.clear();
        failedEntry_.clear();
        failedConnections_ = 0;
    }
    Log("File received...", 20);
}

}  // namespace qx
