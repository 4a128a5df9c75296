// orvo-admin config, log, devices, and command line mistakes.
#include "tool_fixture.h"

using namespace tooltest;

TEST_F(ToolTest, ConfigShowSetAndLog) {
    withLibrary([&] { readyUser(); });
    ASSERT_EQ(tool({"config", "set", "max-login-failures", "3"}).code, 0);
    ASSERT_EQ(tool({"config", "set", "pin-lengths", "6", "12"}).code, 0);
    ASSERT_EQ(tool({"config", "set", "bit-options", "0x8001"}).code, 0);
    EXPECT_EQ(tool({"config", "show"}).out,
              "slot 0\n"
              "  login failure limit  3\n"
              "  session timeout      none\n"
              "  PIN length           6 to 12\n"
              "  bit options          0x8001\n");
    // Values are checked before anything is sent; the token checks what they mean.
    EXPECT_EQ(tool({"config", "set", "session-timeout", "256"}).code, 2);
    Outcome refused = tool({"config", "set", "pin-lengths", "9", "8"});
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("the token refused pin-lengths: CKR_ARGUMENTS_BAD"), std::string::npos) << refused.err;
    nlohmann::json log = nlohmann::json::parse(tool({"--json", "log"}).out);
    EXPECT_NE(log["entries"][0].get<std::string>().find("token initialised"), std::string::npos);
}

TEST_F(ToolTest, DevicesListsTheUsbDevicesOfTheConfiguredIds) {
    dravenholt::vhid::plugIn({.productId = 0x1234, .serial = L"0000000000FF"});  // other ids: not listed
    EXPECT_EQ(tool({"devices"}).out, "usb 0A0B0C000001\n");
    nlohmann::json json = nlohmann::json::parse(tool({"devices", "--json"}).out);
    EXPECT_EQ(json["usb"], nlohmann::json::array({"0A0B0C000001"}));
    EXPECT_TRUE(json["network"].is_null());
}

TEST_F(ToolTest, CommandLineMistakes) {
    EXPECT_NE(tool({"--help"}).out.find("usage: orvo-admin"), std::string::npos);
    for (std::vector<std::string> bad : {std::vector<std::string>{}, {"frobnicate"}, {"backup"}, {"log", "extra"},
                                         {"--slot"}, {"--slot", "x", "log"}, {"--colour", "log"}, {"config"},
                                         {"factory-reset"}, {"config", "set", "pin-lengths", "6"}}) {
        Outcome o = tool(bad);
        EXPECT_EQ(o.code, 2);
        EXPECT_EQ(o.err.rfind("orvo-admin: ", 0), 0u) << o.err;
    }
}
