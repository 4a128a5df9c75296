// The token survives a restart of its engine on the same state file.
#include "sim_fixture.h"

using namespace simint;

TEST_F(SimTest, TokenStateSurvivesARestartOfTheDevice) {
    std::string state = dir.file("state");
    std::filesystem::create_directories(state);
    start(1, state);
    CK_SESSION_HANDLE s = readyUser();
    CK_OBJECT_HANDLE key = secretKey(s, CKK_AES, Bytes(16, 0x3C), Template().boolean(CKA_TOKEN, true).bytes(CKA_LABEL, {'k'}));
    CK_OBJECT_HANDLE sessionKey = secretKey(s, CKK_AES, Bytes(16, 0x3D));
    CK_MECHANISM ecb = {CKM_AES_ECB, nullptr, 0};
    Bytes block(16, 0x01), before(16);
    CK_ULONG length = 16;
    ASSERT_EQ(C_EncryptInit(s, &ecb, key), CKR_OK);
    ASSERT_EQ(C_Encrypt(s, ptr(block), 16, ptr(before), &length), CKR_OK);
    ASSERT_EQ(C_Logout(s), CKR_OK);
    std::string wrong = "wrong-pin";
    EXPECT_EQ(C_Login(s, CKU_USER, pin(wrong), CK_ULONG(wrong.size())), CKR_PIN_INCORRECT);
    stop();

    start(1, state);
    CK_TOKEN_INFO info;
    ASSERT_EQ(C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_TRUE(info.flags & CKF_TOKEN_INITIALIZED);
    EXPECT_TRUE(info.flags & CKF_USER_PIN_INITIALIZED);
    EXPECT_TRUE(info.flags & CKF_USER_PIN_COUNT_LOW);
    ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &s), CKR_OK);
    ASSERT_EQ(C_Login(s, CKU_USER, pin(kUserPin), CK_ULONG(kUserPin.size())), CKR_OK);
    Template all;
    ASSERT_EQ(C_FindObjectsInit(s, all.data(), 0), CKR_OK);
    CK_OBJECT_HANDLE found[4];
    CK_ULONG count = 0;
    ASSERT_EQ(C_FindObjects(s, found, 4, &count), CKR_OK);
    ASSERT_EQ(C_FindObjectsFinal(s), CKR_OK);
    ASSERT_EQ(count, 1u);  // the session key is gone
    (void)sessionKey;
    EXPECT_EQ(attribute(s, found[0], CKA_LABEL), Bytes{'k'});
    Bytes after(16);
    length = 16;
    ASSERT_EQ(C_EncryptInit(s, &ecb, found[0]), CKR_OK);
    ASSERT_EQ(C_Encrypt(s, ptr(block), 16, ptr(after), &length), CKR_OK);
    EXPECT_EQ(after, before);
}
