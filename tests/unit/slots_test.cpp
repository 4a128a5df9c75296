// Slots, token information and the mechanism catalogue.
#include <gtest/gtest.h>

#include <cstring>

#include "frame/context.h"
#include "unit/device_fixture.h"

using namespace orvotest;

namespace {

using Slots = AdminTest;

std::string text(const CK_UTF8CHAR* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

}  // namespace

TEST_F(Slots, SlotListSizeRules) {
    CK_ULONG n = 0;
    ASSERT_EQ(C_GetSlotList(CK_TRUE, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 2u);
    CK_SLOT_ID list[5] = {9, 9, 9, 9, 9};
    n = 1;
    EXPECT_EQ(C_GetSlotList(CK_FALSE, list, &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(list[0], 9u);
    n = 5;
    EXPECT_EQ(C_GetSlotList(CK_FALSE, list, &n), CKR_OK);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(list[0], 0u);
    EXPECT_EQ(list[1], 1u);
    EXPECT_EQ(list[2], 9u);
    EXPECT_EQ(C_GetSlotList(CK_FALSE, list, nullptr), CKR_ARGUMENTS_BAD);
}

TEST_F(Slots, SlotInfoOfANetworkDeviceAndOfOneThatCannotBeOpened) {
    CK_SLOT_INFO info;
    EXPECT_EQ(C_GetSlotInfo(7, &info), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(C_GetSlotInfo(0, nullptr), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(C_GetSlotInfo(0, &info), CKR_OK);
    EXPECT_EQ(info.flags, CKF_TOKEN_PRESENT);
    EXPECT_EQ(text(info.slotDescription, 64), "Orvo" + std::string(60, ' '));
    EXPECT_EQ(text(info.manufacturerID, 32), "USB" + std::string(29, ' '));
    EXPECT_EQ(info.hardwareVersion.major, 2);
    EXPECT_EQ(info.firmwareVersion.major, 0);

    b->openError = "Device not detected";
    dravenholt::getContext().ports().find(1)->close();  // opened by the set-time call of C_Initialize
    std::memset(&info, 'z', sizeof info);
    ASSERT_EQ(C_GetSlotInfo(1, &info), CKR_OK);
    EXPECT_EQ(info.flags, 0u);
    EXPECT_EQ(text(info.slotDescription, 64), "Orvo" + std::string(60, ' '));  // filled all the same
    EXPECT_EQ(text(info.manufacturerID, 32), "USB" + std::string(29, ' '));
    CK_TOKEN_INFO token;
    EXPECT_EQ(C_GetTokenInfo(1, &token), CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(token.flags, 0u);
    CK_UTF8CHAR pin[] = "1234", label[33] = "label                           ";
    EXPECT_EQ(C_InitToken(1, pin, 4, label), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(b->calls().empty());
}

TEST_F(Slots, TokenInfoTextIsBlankPadded) {
    Response r;
    TokenInfoMsg t = TokenInfoMsg_init_zero;
    dravenholt::wire::setBytesField(t.label.bytes, t.label.size, 32, "short");
    dravenholt::wire::setBytesField(t.manufacturerId.bytes, t.manufacturerId.size, 32,
                                    "Dravenholtique                  ");
    dravenholt::wire::setBytesField(t.serialNumber.bytes, t.serialNumber.size, 16, "0123456789AB    ");
    t.flags = CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED;
    t.maxSessionCount = 0xFFFFFFFF;
    t.maxPinLen = 64;
    t.minPinLen = 4;
    t.hardwareVersionMajor = 0x102;
    t.firmwareVersionMinor = 7;
    r.tokenInfo = t;
    b->answer(reply(r));
    CK_TOKEN_INFO info;
    std::memset(&info, '#', sizeof info);
    ASSERT_EQ(C_GetTokenInfo(1, &info), CKR_OK);
    EXPECT_EQ(b->lastCall().function, 34u);
    EXPECT_EQ(text(info.label, 32), "short" + std::string(27, ' '));
    EXPECT_EQ(text(info.model, 16), std::string(16, ' '));  // nothing sent: all blanks
    EXPECT_EQ(text(info.serialNumber, 16), "0123456789AB    ");
    EXPECT_EQ(info.flags, static_cast<CK_FLAGS>(CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED));
    EXPECT_EQ(info.ulMaxSessionCount, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(info.ulMaxPinLen, 64u);
    EXPECT_EQ(info.hardwareVersion.major, 2);
    EXPECT_EQ(info.firmwareVersion.minor, 7);
    EXPECT_TRUE(a->calls().empty());

    b->answer(reply(CKR_DEVICE_ERROR));  // no field 8: only flags are written
    std::memset(&info, '#', sizeof info);
    EXPECT_EQ(C_GetTokenInfo(1, &info), CKR_DEVICE_ERROR);
    EXPECT_EQ(info.flags, 0u);
    EXPECT_EQ(info.label[0], '#');
}

TEST_F(Slots, InitTokenSendsPinAnd32LabelBytes) {
    CK_UTF8CHAR pin[] = "so-pin", label[33] = "My token                        ";
    EXPECT_EQ(C_InitToken(0, pin, 0, label), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_InitToken(0, nullptr, 6, label), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_InitToken(5, pin, 6, label), CKR_SLOT_ID_INVALID);
    EXPECT_TRUE(a->calls().empty());
    a->answer(reply(CKR_PIN_INCORRECT));
    EXPECT_EQ(C_InitToken(0, pin, 6, label), CKR_PIN_INCORRECT);
    Request sent = a->lastCall();
    EXPECT_EQ(sent.function, 10u);
    EXPECT_EQ(*sent.data, Bytes(pin, pin + 6));
    EXPECT_EQ(*sent.data2, Bytes(label, label + 32));
    EXPECT_FALSE(sent.session.has_value());
}

TEST_F(Slots, MechanismListAndInfo) {
    CK_ULONG n = 0;
    EXPECT_EQ(C_GetMechanismList(9, nullptr, nullptr), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(C_GetMechanismList(0, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(C_GetMechanismList(0, nullptr, &n), CKR_OK);
    std::vector<CK_MECHANISM_TYPE> list(n, 0xDEAD);
    n -= 1;
    EXPECT_EQ(C_GetMechanismList(0, list.data(), &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, list.size());
    EXPECT_EQ(list[0], 0xDEADu);
    ASSERT_EQ(C_GetMechanismList(0, list.data(), &n), CKR_OK);
    CK_MECHANISM_INFO info{1, 2, 3};
    for (CK_MECHANISM_TYPE m : list) EXPECT_EQ(C_GetMechanismInfo(0, m, &info), CKR_OK) << m;

    EXPECT_EQ(C_GetMechanismInfo(0, CKM_AES_GCM, &info), CKR_MECHANISM_INVALID);
    EXPECT_TRUE(logged("WARN : Mechanism not supported: 0x00001087\n"));
    ASSERT_EQ(C_GetMechanismInfo(1, CKM_RSA_PKCS_KEY_PAIR_GEN, &info), CKR_OK);
    EXPECT_EQ(info.ulMaxKeySize, 4096u);  // not an HID "Tarnix" device
    EXPECT_EQ(C_GetMechanismInfo(0, CKM_SHA256, nullptr), CKR_ARGUMENTS_BAD);
}
