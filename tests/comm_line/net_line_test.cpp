// Network line names, and hosts that cannot be found without asking a name server.
#include "platform/net_line.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace qx {
namespace {

TEST(NetLineName, FormsOfTheName) {
    struct Case {
        const char* name;
        bool ok;
        bool telnet;
        const char* host;
        const char* port;
    };
    const Case cases[] = {
        {"telnet:bbs.example.org", true, true, "bbs.example.org", "23"},
        {"telnet:127.0.0.1:2323", true, true, "127.0.0.1", "2323"},
        {"tcp:127.0.0.1:2323", true, false, "127.0.0.1", "2323"},
        {"telnet:[::1]:2323", true, true, "::1", "2323"},
        {"telnet:[::1]", true, true, "::1", "23"},
        {"tcp:127.0.0.1", false, false, "", ""},  // a raw line has no default port
        {"tcp::2323", false, false, "", ""},
        {"telnet:host:0", false, false, "", ""},
        {"telnet:host:65536", false, false, "", ""},
        {"telnet:host:23x", false, false, "", ""},
        {"telnet:[::1", false, false, "", ""},
        {"/dev/ttyS0", false, false, "", ""},
        {"TELNET:host", false, false, "", ""},
    };
    for (const Case& c : cases) {
        NetLineAddress a;
        ASSERT_EQ(ParseNetLineName(c.name, a), c.ok) << c.name;
        if (!c.ok) continue;
        EXPECT_EQ(a.telnet, c.telnet) << c.name;
        EXPECT_EQ(a.host, c.host) << c.name;
        EXPECT_EQ(a.port, c.port) << c.name;
    }
}

TEST(NetLineName, HostThatNoNameCanHoldFailsAtOpening) {
    for (const char* name : {"telnet:no_such!host", "tcp:bad host:23", "telnet:[::1%eth0]"}) {
        int result = 0;
        std::string error;
        EXPECT_EQ(TNetLine::Open(name, {}, result, error), nullptr) << name;
        EXPECT_EQ(result, -EADDRNOTAVAIL) << name;
        EXPECT_NE(error.find("Cannot find host"), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace qx
