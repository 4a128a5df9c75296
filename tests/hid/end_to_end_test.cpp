// The whole path from C_ calls through the HID pair, the HID transport and virtual USB devices,
// in both framings, with an Orvo and a Tarnix device attached at once.
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "frame/context.h"
#include "hid_test_support.h"
#include "scripted_token.h"
#include "support/test_env.h"

namespace hidtest {
namespace {

std::string text(const CK_UTF8CHAR* p, size_t n) {
    std::string s(reinterpret_cast<const char*>(p), n);
    return s.substr(0, s.find_last_not_of(' ') + 1);
}

struct EndToEnd : HidTest, ::testing::WithParamInterface<Framing> {
    orvotest::TestDir dir;

    DeviceSpec spec(const wchar_t* product, const wchar_t* serial) const {
        DeviceSpec s = GetParam() == Framing::U2f ? u2fSpec(serial) : DeviceSpec{};
        s.product = product;
        s.serial = serial;
        return s;
    }
};

TEST_P(EndToEnd, OrvoAndTarnixSlotsOverHid) {
    dir.useAsConfig();
    auto tarnix = dravenholt::vhid::plugIn(spec(L"Tarnix", L"0000000000B2"), ScriptedToken("2222", 100));
    auto orvo = dravenholt::vhid::plugIn(spec(L"Orvo", L"0000000000A1"), ScriptedToken("1111", 1));
    dravenholt::vhid::plugIn({.serial = L"0000000000A1X"});  // 13 characters: no port

    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    CK_ULONG count = 0;
    ASSERT_EQ(C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    ASSERT_EQ(count, 2u);

    // Slots follow the serial numbers' order.
    CK_SLOT_INFO info{};
    ASSERT_EQ(C_GetSlotInfo(0, &info), CKR_OK);
    EXPECT_EQ(text(info.slotDescription, 64), "Orvo USB");
    EXPECT_EQ(info.flags & CKF_TOKEN_PRESENT, CKF_TOKEN_PRESENT);
    ASSERT_EQ(C_GetSlotInfo(1, &info), CKR_OK);
    EXPECT_EQ(text(info.slotDescription, 64), "Tarnix USB");

    CK_MECHANISM_INFO mechanism{};
    ASSERT_EQ(C_GetMechanismInfo(0, CKM_RSA_PKCS_KEY_PAIR_GEN, &mechanism), CKR_OK);
    EXPECT_EQ(mechanism.ulMaxKeySize, 4096u);
    ASSERT_EQ(C_GetMechanismInfo(1, CKM_RSA_PKCS_KEY_PAIR_GEN, &mechanism), CKR_OK);
    EXPECT_EQ(mechanism.ulMaxKeySize, 2048u);

    CK_SESSION_HANDLE orvoSession = 0, tarnixSession = 0;
    ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &orvoSession), CKR_OK);
    ASSERT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &tarnixSession), CKR_OK);
    CK_UTF8CHAR orvoPin[] = "1111";
    CK_UTF8CHAR tarnixPin[] = "2222";
    EXPECT_EQ(C_Login(orvoSession, CKU_USER, tarnixPin, 4), CKR_PIN_INCORRECT);
    EXPECT_EQ(C_Login(orvoSession, CKU_USER, orvoPin, 4), CKR_OK);
    EXPECT_EQ(C_Login(tarnixSession, CKU_USER, tarnixPin, 4), CKR_OK);

    // A request and reply of several reports or frames each.
    Bytes data = pattern(300);
    for (auto [session, key] : {std::pair{orvoSession, 0x21u}, std::pair{tarnixSession, 0x42u}}) {
        CK_MECHANISM sha256Rsa{CKM_SHA256_RSA_PKCS, nullptr, 0};
        ASSERT_EQ(C_SignInit(session, &sha256Rsa, key), CKR_OK);
        Bytes signature(512);
        CK_ULONG length = signature.size();
        ASSERT_EQ(C_Sign(session, data.data(), data.size(), signature.data(), &length), CKR_OK);
        signature.resize(length);
        EXPECT_EQ(signature, ScriptedToken::signature(data, key));
    }

    CK_SESSION_INFO session{};
    ASSERT_EQ(C_GetSessionInfo(tarnixSession, &session), CKR_OK);
    EXPECT_EQ(session.slotID, 1u);
    EXPECT_EQ(session.ulDeviceError, 100u);
    EXPECT_EQ(C_Finalize(nullptr), CKR_OK);

    // Every request reached its own device: set time, open session, login(s), sign init, sign,
    // (session info,) close all sessions at C_Finalize.
    EXPECT_EQ(orvo->requests().size(), 1u + 1 + 2 + 2 + 1);
    EXPECT_EQ(tarnix->requests().size(), 1u + 1 + 1 + 2 + 1 + 1);
}

TEST_P(EndToEnd, LowerCaseSerialGetsASlotThatNeverOpens) {
    dir.useAsConfig();
    dravenholt::vhid::plugIn(spec(L"Orvo", L"0000000000ab"), ScriptedToken("1111"));
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    CK_ULONG count = 0;
    ASSERT_EQ(C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 1u);
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_FUNCTION_FAILED);
    C_Finalize(nullptr);
}

// Two processes share one device under the process lock file. Each sees every report the
// device sends (as with hidraw), yet takes only replies to its own requests.
TEST_P(EndToEnd, TwoProcessesShareOneDeviceUnderTheLockFile) {
    dir.useAsConfig(R"({"lockfile": ")" + dir.file("orvo.lock") + "\"}");
    dravenholt::vhid::plugIn(spec(L"Orvo", L"0000000000A1"), ScriptedToken("1111", 1));
    auto client = [] {
        if (C_Initialize(nullptr) != CKR_OK) return 10;
        CK_SESSION_HANDLE session = 0;
        if (C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK) return 11;
        CK_SESSION_INFO first{};
        if (C_GetSessionInfo(session, &first) != CKR_OK) return 12;
        for (int i = 0; i < 40; ++i) {
            CK_SESSION_INFO info{};
            if (C_GetSessionInfo(session, &info) != CKR_OK) return 13;
            if (info.ulDeviceError != first.ulDeviceError) return 14;  // another process's reply
        }
        C_Finalize(nullptr);
        return 0;
    };
    pid_t children[2];
    for (pid_t& child : children) {
        child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) _exit(client());
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Framings, EndToEnd, ::testing::Values(Framing::Reports, Framing::U2f),
                         [](const auto& info) { return info.param == Framing::U2f ? "U2f" : "Reports"; });

}  // namespace
}  // namespace hidtest
