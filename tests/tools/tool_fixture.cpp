#include "tool_fixture.h"

#include "vhid/engine_device.h"

namespace tooltest {
namespace {

CK_UTF8CHAR_PTR utf8(const std::string& s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s.data())); }

}  // namespace

void ToolTest::SetUp() {
    dir.useAsConfig();
    dravenholt::sim::EngineOptions options;
    options.serialNumber = "0A0B0C000001";
    options.stateFile = dir.file("token.state");
    engine = std::make_shared<dravenholt::sim::Engine>(options);
    dravenholt::vhid::plugIn({.serial = L"0A0B0C000001"}, dravenholt::vhid::engineResponder(engine));
}

void ToolTest::TearDown() { dravenholt::vhid::unplugAll(); }

Outcome ToolTest::tool(const std::vector<std::string>& args, bool interactive) {
    std::ostringstream out, err;
    orvoadmin::Console console{out, err};
    console.interactive = interactive;
    console.secret = [this](const std::string& what) -> std::optional<std::string> {
        auto it = pins.find(what);
        if (it == pins.end()) return std::nullopt;
        return it->second;
    };
    int code = orvoadmin::run(args, console);
    return {code, out.str(), err.str()};
}

CK_SESSION_HANDLE ToolTest::readyUser() {
    std::string label = "tool test";
    label.resize(32, ' ');
    EXPECT_EQ(C_InitToken(0, utf8(kSoPin), CK_ULONG(kSoPin.size()), utf8(label)), CKR_OK);
    CK_SESSION_HANDLE s = 0;
    EXPECT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s), CKR_OK);
    EXPECT_EQ(C_Login(s, CKU_SO, utf8(kSoPin), CK_ULONG(kSoPin.size())), CKR_OK);
    EXPECT_EQ(C_InitPIN(s, utf8(kUserPin), CK_ULONG(kUserPin.size())), CKR_OK);
    EXPECT_EQ(C_Logout(s), CKR_OK);
    EXPECT_EQ(C_Login(s, CKU_USER, utf8(kUserPin), CK_ULONG(kUserPin.size())), CKR_OK);
    return s;
}

void ToolTest::addNote(CK_SESSION_HANDLE session, const std::string& value) {
    CK_OBJECT_CLASS cls = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    std::string label = "note";
    CK_ATTRIBUTE templ[] = {{CKA_CLASS, &cls, sizeof cls},
                            {CKA_TOKEN, &yes, sizeof yes},
                            {CKA_PRIVATE, &yes, sizeof yes},
                            {CKA_LABEL, label.data(), label.size()},
                            {CKA_VALUE, const_cast<char*>(value.data()), value.size()}};
    CK_OBJECT_HANDLE h = 0;
    EXPECT_EQ(C_CreateObject(session, templ, 5, &h), CKR_OK);
}

bool ToolTest::initialised() {
    CK_TOKEN_INFO info{};
    EXPECT_EQ(C_GetTokenInfo(0, &info), CKR_OK);
    return info.flags & CKF_TOKEN_INITIALIZED;
}

}  // namespace tooltest
