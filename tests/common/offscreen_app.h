// One QApplication for a whole test executable, on the offscreen platform and without a
// display, so windows, timers and posted calls work as in the program run headless.
// Include it in exactly one source file of the executable.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>
#include <memory>

namespace qx::test {

class OffscreenAppEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        static int argc = 1;
        static char name[] = "qx_test";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void TearDown() override { app_.reset(); }

  private:
    std::unique_ptr<QApplication> app_;
};

inline const auto* const kOffscreenApp =
    ::testing::AddGlobalTestEnvironment(new OffscreenAppEnvironment);

}  // namespace qx::test
