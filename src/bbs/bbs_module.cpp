#include "bbs_module.h"

#include "shell/main_window.h"
#include "support/log.h"
#include "support/utilities.h"

namespace qx {

TBBSmodule* BBSmodule = nullptr;

TBBSmodule::TBBSmodule(QObject* owner) : QObject(owner) {
    DialTimer.setInterval(1000);
    BBSmodule = this;
    BBSmoduleCreate();
}

TBBSmodule::~TBBSmodule() {
    BBSmoduleDestroy();
    if (BBSmodule == this) BBSmodule = nullptr;
}

void TBBSmodule::BBSmoduleCreate() {
    VersionText = std::string(1, ' ');
    std::string version, build;
    if (ReadFileVersion(version, build)) VersionText = "Version: " + version + "." + build;
    Receiving = AwaitUserPrompt = LineFinished = false;
    PhoneNumber.clear();
    UserName.clear();
    Password.clear();
    RequestName.clear();
    TempDir.clear();
    SourceDir.clear();
    RequestIndex = LoginRetryCnt = 0;
}

void TBBSmodule::BBSmoduleDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    DialTimer.stop();
    CancelCall();
}

void TBBSmodule::StopRedial() {
    DialRetryCnt = kDialRetryLimit;
}

bool TBBSmodule::Idle() {
    return true;
}

void TBBSmodule::CancelCall() {}

void TBBSmodule::Log(const std::string& text, int level) {
    qx::Log(text, level);
}

void TBBSmodule::EchoChar(char c) {
    if (frmVudaDUD != nullptr) frmVudaDUD->EchoChar(c);
}

}  // namespace qx
