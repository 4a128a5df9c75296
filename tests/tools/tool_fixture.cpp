#include "tool_fixture.h"

#include <sstream>

#include "vhid/engine_device.h"

namespace tooltest {

void ToolTest::SetUp() {
    dir.useAsConfig();
    dravenholt::sim::EngineOptions options;
    options.serialNumber = "0A0B0C000001";
    options.stateFile = dir.file("token.state");
    engine = std::make_shared<dravenholt::sim::Engine>(options);
    dravenholt::vhid::plugIn({.serial = L"0A0B0C000001"}, dravenholt::vhid::engineResponder(engine));
}

void ToolTest::TearDown() { dravenholt::vhid::unplugAll(); }

Outcome ToolTest::tool(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    orvoadmin::Console console{out, err};
    console.secret = [this](const std::string& what) -> std::optional<std::string> {
        auto it = pins.find(what);
        if (it == pins.end()) return std::nullopt;
        return it->second;
    };
    int code = orvoadmin::run(args, console);
    return {code, out.str(), err.str()};
}

void ToolTest::initialiseToken() {
    auto utf8 = [](const std::string& s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s.data())); };
    const std::string user = "user-secret";
    std::string label = "tool test";
    label.resize(32, ' ');
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(C_InitToken(0, utf8(kSoPin), CK_ULONG(kSoPin.size()), utf8(label)), CKR_OK);
    CK_SESSION_HANDLE s = 0;
    EXPECT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s), CKR_OK);
    EXPECT_EQ(C_Login(s, CKU_SO, utf8(kSoPin), CK_ULONG(kSoPin.size())), CKR_OK);
    EXPECT_EQ(C_InitPIN(s, utf8(user), CK_ULONG(user.size())), CKR_OK);
    C_Finalize(nullptr);
}

}  // namespace tooltest
