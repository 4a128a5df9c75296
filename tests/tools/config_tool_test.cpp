// orvo-admin config, log and devices.
#include "tool_fixture.h"

using namespace tooltest;

TEST_F(ToolTest, ConfigShowAndSet) {
    withLibrary([&] { readyUser(); });
    ASSERT_EQ(tool({"config", "set", "max-login-failures", "3"}).code, 0);
    ASSERT_EQ(tool({"config", "set", "pin-lengths", "6", "12"}).code, 0);
    ASSERT_EQ(tool({"config", "set", "bit-options", "0x8001"}).code, 0);
    Outcome shown = tool({"config", "show"});
    ASSERT_EQ(shown.code, 0) << shown.err;
    EXPECT_EQ(shown.out,
              "slot 0\n"
              "  login failure limit  3\n"
              "  session timeout      none\n"
              "  PIN length           6 to 12\n"
              "  bit options          0x8001\n");
    nlohmann::json json = nlohmann::json::parse(tool({"config", "show", "--json"}).out);
    EXPECT_EQ(json["maxLoginFailures"], 3);
    EXPECT_EQ(json["minPinLength"], 6);
    EXPECT_EQ(json["maxPinLength"], 12);
    EXPECT_EQ(json["bitOptions"], 0x8001);

    // Values are checked before anything is sent; the token checks what it means.
    for (std::vector<std::string> bad : {std::vector<std::string>{"config", "set", "session-timeout", "256"},
                                         {"config", "set", "pin-lengths", "6"},
                                         {"config", "set", "colour", "blue"},
                                         {"config", "set", "max-login-failures", "-1"}})
        EXPECT_EQ(tool(bad).code, 2) << bad[3];
    Outcome refused = tool({"config", "set", "pin-lengths", "9", "8"});
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("the token refused pin-lengths: CKR_ARGUMENTS_BAD"), std::string::npos) << refused.err;
}

TEST_F(ToolTest, LogAsTextAndJson) {
    withLibrary([&] { readyUser(); });
    Outcome text = tool({"log"});
    ASSERT_EQ(text.code, 0) << text.err;
    EXPECT_NE(text.out.find("token initialised\n"), std::string::npos);
    EXPECT_NE(text.out.find("user login\n"), std::string::npos);
    nlohmann::json json = nlohmann::json::parse(tool({"--json", "log"}).out);
    ASSERT_TRUE(json["entries"].is_array());
    EXPECT_GE(json["entries"].size(), 4u);
    EXPECT_NE(json["entries"][0].get<std::string>().find("token initialised"), std::string::npos);
}

TEST_F(ToolTest, DevicesListsTheUsbDevicesOfTheConfiguredIds) {
    dravenholt::vhid::plugIn({.productId = 0x1234, .serial = L"0000000000FF"});  // other ids: not listed
    Outcome listed = tool({"devices"});
    ASSERT_EQ(listed.code, 0) << listed.err;
    EXPECT_EQ(listed.out, "usb 0A0B0C000001\n");
    nlohmann::json json = nlohmann::json::parse(tool({"devices", "--json"}).out);
    EXPECT_EQ(json["usb"], nlohmann::json::array({"0A0B0C000001"}));
    EXPECT_TRUE(json["network"].is_null());
}

TEST_F(ToolTest, CommandLineMistakes) {
    Outcome help = tool({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("usage: orvo-admin"), std::string::npos);
    for (std::vector<std::string> bad : {std::vector<std::string>{}, {"frobnicate"}, {"backup"}, {"log", "extra"},
                                         {"--slot"}, {"--slot", "x", "log"}, {"--colour", "log"}, {"config"}}) {
        Outcome o = tool(bad);
        EXPECT_EQ(o.code, 2);
        EXPECT_EQ(o.err.rfind("orvo-admin: ", 0), 0u) << o.err;
    }
}
