// Slots, token information, initialisation, PINs and sessions through the exported functions.
#include <cstring>

#include "sim_fixture.h"

using namespace simint;

namespace {

std::string text(const CK_UTF8CHAR* bytes, size_t n) { return std::string(reinterpret_cast<const char*>(bytes), n); }

}  // namespace

TEST_F(SimTest, EachDeviceIsASlotWithItsOwnToken) {
    start(2);
    CK_ULONG count = 0;
    ASSERT_EQ(C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 2u);
    std::vector<std::string> serials;
    for (CK_SLOT_ID slot : {0, 1}) {
        CK_TOKEN_INFO info;
        std::memset(&info, 0x55, sizeof info);
        ASSERT_EQ(C_GetTokenInfo(slot, &info), CKR_OK);
        EXPECT_EQ(text(info.manufacturerID, 32), "Dravenholtique" + std::string(18, ' '));
        EXPECT_EQ(text(info.model, 16), "Orvo" + std::string(12, ' '));
        EXPECT_EQ(text(info.label, 32), std::string(32, ' '));
        EXPECT_FALSE(info.flags & CKF_TOKEN_INITIALIZED);
        serials.push_back(text(info.serialNumber, 16));
        EXPECT_EQ(serials.back(), dravenholt::sim::SimulatedDevices::serialOf(devices->ids()[slot]) + "    ");
    }
    EXPECT_NE(serials[0], serials[1]);

    initToken(1);
    CK_TOKEN_INFO info;
    ASSERT_EQ(C_GetTokenInfo(1, &info), CKR_OK);
    EXPECT_TRUE(info.flags & CKF_TOKEN_INITIALIZED);
    EXPECT_EQ(text(info.label, 32), "integration" + std::string(21, ' '));
    ASSERT_EQ(C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_FALSE(info.flags & CKF_TOKEN_INITIALIZED);
}

TEST_F(SimTest, LoginStatesAndSessionInfo) {
    start();
    CK_SESSION_HANDLE rw = readyUser();
    CK_SESSION_HANDLE ro = 0;
    ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &ro), CKR_OK);
    CK_SESSION_INFO info;
    ASSERT_EQ(C_GetSessionInfo(ro, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_USER_FUNCTIONS);
    EXPECT_EQ(info.flags, CKF_SERIAL_SESSION);
    EXPECT_EQ(info.slotID, 0u);
    ASSERT_EQ(C_GetSessionInfo(rw, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(C_Login(ro, CKU_USER, pin(kUserPin), CK_ULONG(kUserPin.size())), CKR_USER_ALREADY_LOGGED_IN);
    ASSERT_EQ(C_Logout(ro), CKR_OK);
    ASSERT_EQ(C_GetSessionInfo(rw, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(C_Login(rw, CKU_SO, pin(kSoPin), CK_ULONG(kSoPin.size())), CKR_SESSION_READ_ONLY_EXISTS);
    ASSERT_EQ(C_CloseSession(ro), CKR_OK);
    EXPECT_EQ(C_GetSessionInfo(ro, &info), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(C_Login(rw, CKU_SO, pin(kSoPin), CK_ULONG(kSoPin.size())), CKR_OK);
    ASSERT_EQ(C_GetSessionInfo(rw, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_SO_FUNCTIONS);
    ASSERT_EQ(C_CloseAllSessions(0), CKR_OK);
}

TEST_F(SimTest, UserPinLockOutAndRecovery) {
    start();
    CK_SESSION_HANDLE s = readyUser();
    ASSERT_EQ(C_Logout(s), CKR_OK);
    std::string wrong = "wrong-pin";
    for (int i = 0; i < 4; ++i) EXPECT_EQ(C_Login(s, CKU_USER, pin(wrong), CK_ULONG(wrong.size())), CKR_PIN_INCORRECT);
    CK_TOKEN_INFO info;
    ASSERT_EQ(C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_TRUE(info.flags & CKF_USER_PIN_FINAL_TRY);
    EXPECT_EQ(C_Login(s, CKU_USER, pin(wrong), CK_ULONG(wrong.size())), CKR_PIN_LOCKED);
    EXPECT_EQ(C_Login(s, CKU_USER, pin(kUserPin), CK_ULONG(kUserPin.size())), CKR_PIN_LOCKED);
    ASSERT_EQ(C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_TRUE(info.flags & CKF_USER_PIN_LOCKED);

    ASSERT_EQ(C_Login(s, CKU_SO, pin(kSoPin), CK_ULONG(kSoPin.size())), CKR_OK);
    std::string fresh = "brand-new";
    ASSERT_EQ(C_InitPIN(s, pin(fresh), CK_ULONG(fresh.size())), CKR_OK);
    ASSERT_EQ(C_Logout(s), CKR_OK);
    ASSERT_EQ(C_Login(s, CKU_USER, pin(fresh), CK_ULONG(fresh.size())), CKR_OK);
    std::string changed = "changed-again";
    EXPECT_EQ(C_SetPIN(s, pin(fresh), CK_ULONG(fresh.size()), pin(changed), CK_ULONG(changed.size())), CKR_OK);
    ASSERT_EQ(C_Logout(s), CKR_OK);
    EXPECT_EQ(C_Login(s, CKU_USER, pin(changed), CK_ULONG(changed.size())), CKR_OK);
}

TEST_F(SimTest, InitTokenIsRefusedWhileSessionsAreOpen) {
    start();
    initToken();
    CK_SESSION_HANDLE s = 0;
    ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &s), CKR_OK);
    std::string label(32, ' ');
    EXPECT_EQ(C_InitToken(0, pin(kSoPin), CK_ULONG(kSoPin.size()), pin(label)), CKR_SESSION_EXISTS);
    ASSERT_EQ(C_CloseSession(s), CKR_OK);
    std::string wrong = "not-the-so-pin";
    EXPECT_EQ(C_InitToken(0, pin(wrong), CK_ULONG(wrong.size()), pin(label)), CKR_PIN_INCORRECT);
    EXPECT_EQ(C_InitToken(0, pin(kSoPin), CK_ULONG(kSoPin.size()), pin(label)), CKR_OK);
}
