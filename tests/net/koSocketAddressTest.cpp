// Address texts as users type them into a session link.
#include "koSocketAddress.h"

#include "koNetError.h"

#include <gtest/gtest.h>

TEST(koSocketAddress, ParsesHostAndPortForms)
{
    const struct {
        const char* text;
        int defaultPort;
        const char* host;
        int port;
        const char* shown;
    } table[] = {
        {"example.org", 8889, "example.org", 8889, "example.org:8889"},
        {"example.org:1234", 8889, "example.org", 1234, "example.org:1234"},
        {"127.0.0.1", 8889, "127.0.0.1", 8889, "127.0.0.1:8889"},
        {"127.0.0.1:0", 8889, "127.0.0.1", 0, "127.0.0.1:0"},
        {"10.1.2.3:65535", 1, "10.1.2.3", 65535, "10.1.2.3:65535"},
        {"[::1]:8890", 8889, "::1", 8890, "[::1]:8890"},
        {"[::1]", 8889, "::1", 8889, "[::1]:8889"},
        {"::1", 8889, "::1", 8889, "[::1]:8889"},
        {"fe80::1:2", 7, "fe80::1:2", 7, "[fe80::1:2]:7"},
        {"[2001:db8::5]:80", 8889, "2001:db8::5", 80, "[2001:db8::5]:80"},
        {"localhost", 0, "localhost", 0, "localhost:0"},
    };
    for (const auto& row : table) {
        const koSocketAddress address(row.text, row.defaultPort);
        EXPECT_EQ(address.getHost(), row.host) << row.text;
        EXPECT_EQ(address.getPort(), row.port) << row.text;
        EXPECT_EQ(address.toString(), row.shown) << row.text;
    }
}

TEST(koSocketAddress, RefusesBadPortsWithTheTextInTheMessage)
{
    const struct {
        const char* text;
        int defaultPort;
    } table[] = {
        {"host:", 8889},      {"host:http", 8889},  {"host:65536", 8889}, {"host:-1", 8889},
        {"[::1]:x", 8889},    {"[::1", 8889},       {"[::1]x", 8889},     {"host", 70000},
        {"host:123456", 8889}, {"host", -5},
    };
    for (const auto& row : table) {
        try {
            koSocketAddress address(row.text, row.defaultPort);
            ADD_FAILURE() << "accepted " << row.text;
        } catch (const koNetError& e) {
            EXPECT_NE(std::string(e.what()).find(row.text), std::string::npos) << e.what();
        }
    }
}
