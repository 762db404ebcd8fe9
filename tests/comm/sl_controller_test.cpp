// The status lights driven by a port on a pseudo-terminal.
#include <string>
#include <vector>

#include "comm/cx_exception.h"
#include "comm/sl_controller.h"
#include "comm/tty_dispatcher.h"
#include "port_fixture.h"

namespace qx {
namespace {

using test::OpenOnPty;
using test::PtyPair;
using test::RunFor;
using test::WaitFor;

struct Lights {
    TCxStatusLight cts, dsr, dcd, txd, rxd, err, brk;
    void Bind(TCxSLController& c) {
        c.Lights.CTSLight = &cts;
        c.Lights.DSRLight = &dsr;
        c.Lights.DCDLight = &dcd;
        c.Lights.TXDLight = &txd;
        c.Lights.RXDLight = &rxd;
        c.Lights.ERRORLight = &err;
        c.Lights.BREAKLight = &brk;
    }
};

TEST(StatusLights, ReceiveLightFollowsDataAndGoesOutAfterTheBufferEmpties) {
    PtyPair pty;
    TCxComPort port;
    std::string echoed;
    int moduleTimers = 0;
    port.OnTriggerAvail = [&](TCxComPort& p, unsigned n) {
        for (unsigned i = 0; i < n; ++i) echoed += static_cast<char>(p.GetChar());
    };
    port.OnTriggerTimer = [&](TCxComPort&, unsigned) { ++moduleTimers; };
    Lights l;
    TCxSLController c(&port);
    l.Bind(c);
    c.SetMonitoring(true);  // before the port opens: takes effect at the open
    EXPECT_FALSE(l.dcd.Lit());
    OpenOnPty(port, pty);
    EXPECT_TRUE(l.dcd.Lit());  // a pty reads as carrier, CTS and DSR on
    EXPECT_TRUE(l.cts.Lit());
    pty.Write("CONNECT 33600\r\n");
    ASSERT_TRUE(WaitFor([&] { return l.rxd.Lit(); }));
    ASSERT_TRUE(WaitFor([&] { return !l.rxd.Lit(); }));
    EXPECT_EQ(echoed, "CONNECT 33600\r\n");  // the module's avail handler still gets the data
    EXPECT_GE(moduleTimers, 1);              // and the controller's timer events
    port.PutString("ATH\r");
    ASSERT_TRUE(WaitFor([&] { return l.txd.Lit(); }));
    ASSERT_TRUE(WaitFor([&] { return !l.txd.Lit(); }));
}

TEST(StatusLights, ParityErrorLightsTheErrorLightForAboutTwoSeconds) {
    PtyPair pty;
    TCxComPort port;
    Lights l;
    TCxSLController c(&port);
    l.Bind(c);
    OpenOnPty(port, pty);
    c.SetMonitoring(true);
    port.TtyDispatcher()->AddLineErrors(4);  // parity, as the driver reports it
    ASSERT_TRUE(WaitFor([&] { return l.err.Lit(); }));
    auto lit = std::chrono::steady_clock::now();
    EXPECT_EQ(port.LineError(), 0);  // read (and cleared) by the controller
    ASSERT_TRUE(WaitFor([&] { return !l.err.Lit(); }));
    EXPECT_GE(std::chrono::steady_clock::now() - lit, std::chrono::milliseconds(36 * 55 - 100));
    // The error trigger is armed again.
    port.TtyDispatcher()->AddLineErrors(8);
    ASSERT_TRUE(WaitFor([&] { return l.err.Lit(); }));
    EXPECT_FALSE(l.brk.Lit());
}

TEST(StatusLights, WithMonitoringOffEventsReachTheModuleDirectly) {
    PtyPair pty;
    TCxComPort port;
    std::string echoed;
    port.OnTriggerAvail = [&](TCxComPort& p, unsigned n) {
        for (unsigned i = 0; i < n; ++i) echoed += static_cast<char>(p.GetChar());
    };
    Lights l;
    TCxSLController c(&port);
    l.Bind(c);
    OpenOnPty(port, pty);
    c.SetMonitoring(true);
    c.SetMonitoring(false);
    pty.Write("plain");
    ASSERT_TRUE(WaitFor([&] { return echoed == "plain"; }));
    RunFor(100);
    EXPECT_FALSE(l.rxd.Lit());
    EXPECT_FALSE(l.dcd.Lit());
    uint16_t h = port.AddTimerTrigger();
    EXPECT_EQ(h, 8 * 9);  // the controller's eight triggers are gone, the counter is not reset
}

TEST(StatusLights, ClosingThePortSwitchesOffAndReopeningRestoresMonitoring) {
    PtyPair pty;
    TCxComPort port;
    Lights l;
    TCxSLController c(&port);
    l.Bind(c);
    OpenOnPty(port, pty);
    c.SetMonitoring(true);
    EXPECT_TRUE(l.dsr.Lit());
    port.SetOpen(false);
    EXPECT_FALSE(l.dsr.Lit());
    port.SetOpen(true);
    EXPECT_TRUE(l.dsr.Lit());
    EXPECT_TRUE(c.Monitoring());
}

TEST(StatusLights, MonitoringWithoutAPortRaisesPortNotAssigned) {
    TCxSLController c(nullptr);
    EXPECT_THROW(c.SetMonitoring(true), EPortNotAssigned);
}

TEST(StatusLights, GlyphSetsTheSizeAndDestroyedLightsClearTheirSlot) {
    TCxStatusLight light;
    EXPECT_EQ(light.size(), QSize(13, 13));
    QPixmap glyph(24, 12);
    glyph.fill(Qt::white);
    light.SetGlyph(glyph);
    EXPECT_EQ(light.size(), QSize(12, 12));
    QImage lamp = TCxStatusLight::LampGlyph().toImage();
    EXPECT_EQ(lamp.size(), QSize(24, 12));
    EXPECT_EQ(lamp.pixelColor(0, 0), QColor(Qt::white));
    EXPECT_EQ(lamp.pixelColor(5, 5), QColor(255, 0, 0));
    EXPECT_EQ(lamp.pixelColor(12 + 5, 5), QColor(0, 128, 0));
    EXPECT_EQ(lamp.pixelColor(1, 5), QColor(Qt::black));  // outline on the disc's left edge
    TCxStatusLight shown;
    shown.SetGlyph(TCxStatusLight::LampGlyph());
    EXPECT_EQ(shown.grab().toImage().pixelColor(5, 5), QColor(0, 128, 0));
    shown.SetLit(true);
    EXPECT_EQ(shown.grab().toImage().pixelColor(5, 5), QColor(255, 0, 0));
    TCxStatusLight plain;
    plain.SetLit(true);
    EXPECT_EQ(plain.grab().toImage().pixelColor(6, 6), QColor(255, 0, 0));
    EXPECT_EQ(plain.grab().toImage().pixelColor(12, 6), QColor(0x80, 0x80, 0x80));
    TCxSLController c(nullptr);
    {
        TCxStatusLight gone;
        c.Lights.RXDLight = &gone;
    }
    EXPECT_TRUE(c.Lights.RXDLight.isNull());
}

}  // namespace
}  // namespace qx
