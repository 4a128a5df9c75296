// The administration exports against a simulated token in-process: the storage round trip,
// the configuration, the device log and the Bitcoin key slot.
#include <cstring>

#include "orvo/admin.h"
#include "sim_fixture.h"

using namespace simint;

namespace {

struct Admin : SimTest {
    void SetUp() override {
        SimTest::SetUp();
        start();
        user = readyUser();
    }
    void asOfficer() {
        ASSERT_EQ(C_Logout(user), CKR_OK);
        ASSERT_EQ(C_Login(user, CKU_SO, pin(kSoPin), CK_ULONG(kSoPin.size())), CKR_OK);
    }
    CK_OBJECT_HANDLE createNote(const std::string& text) {
        CK_OBJECT_CLASS cls = CKO_DATA;
        CK_BBOOL yes = CK_TRUE;
        std::string label = "note";
        CK_ATTRIBUTE templ[] = {{CKA_CLASS, &cls, sizeof cls},
                                {CKA_TOKEN, &yes, sizeof yes},
                                {CKA_LABEL, label.data(), label.size()},
                                {CKA_VALUE, const_cast<char*>(text.data()), text.size()}};
        CK_OBJECT_HANDLE h = 0;
        EXPECT_EQ(C_CreateObject(user, templ, 4, &h), CKR_OK);
        return h;
    }
    // The values of every data object labelled "note" that `session` sees.
    std::vector<std::string> notes(CK_SESSION_HANDLE session) {
        std::string label = "note";
        CK_ATTRIBUTE match[] = {{CKA_LABEL, label.data(), label.size()}};
        EXPECT_EQ(C_FindObjectsInit(session, match, 1), CKR_OK);
        CK_OBJECT_HANDLE found[8];
        CK_ULONG count = 0;
        EXPECT_EQ(C_FindObjects(session, found, 8, &count), CKR_OK);
        EXPECT_EQ(C_FindObjectsFinal(session), CKR_OK);
        std::vector<std::string> values;
        for (CK_ULONG i = 0; i < count; ++i) {
            char value[2048] = {};
            CK_ATTRIBUTE get = {CKA_VALUE, value, sizeof value};
            EXPECT_EQ(C_GetAttributeValue(session, found[i], &get, 1), CKR_OK);
            values.emplace_back(value, get.ulValueLen);
        }
        return values;
    }
    Bytes backup() {
        Bytes image(1 << 16);
        uint64_t length = image.size();
        EXPECT_EQ(u32BackupStorage(0, image.data(), &length), CKR_OK);
        image.resize(length);
        return image;
    }
    CK_SESSION_HANDLE user = 0;
};

}  // namespace

TEST_F(Admin, BackupResetRestoreRoundTrip) {
    createNote("first");
    createNote(std::string(1800, 'x'));  // the image then needs several pieces each way
    asOfficer();
    ASSERT_EQ(u32SetSessionTimeout(0, 20), CKR_OK);
    Bytes image = backup();
    EXPECT_GT(image.size(), 2048u);

    ASSERT_EQ(u32FactoryReset(0), CKR_OK);
    CK_TOKEN_INFO info;
    ASSERT_EQ(C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_FALSE(info.flags & CKF_TOKEN_INITIALIZED);

    // A damaged image is refused and the blank token stays blank.
    Bytes damaged = image;
    damaged[100] ^= 0xFF;
    EXPECT_EQ(u32RestoreStorage(0, damaged.data(), damaged.size()), CKR_DATA_INVALID);
    ASSERT_EQ(C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_FALSE(info.flags & CKF_TOKEN_INITIALIZED);

    ASSERT_EQ(u32RestoreStorage(0, image.data(), image.size()), CKR_OK);
    CK_SESSION_HANDLE s;
    ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &s), CKR_OK);
    ASSERT_EQ(C_Login(s, CKU_USER, pin(kUserPin), CK_ULONG(kUserPin.size())), CKR_OK);
    auto values = notes(s);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0], "first");
    EXPECT_EQ(values[1], std::string(1800, 'x'));
    uint8_t record[8] = {1, 8};
    ASSERT_EQ(u32GetTokenConfig(0, record), CKR_OK);
    EXPECT_EQ(record[3], 20);
}

TEST_F(Admin, ConfigurationAndLog) {
    uint8_t record[8] = {1, 8};
    EXPECT_EQ(u32SetMaxLoginFailCnt(0, 0, 3), CKR_USER_NOT_LOGGED_IN);
    asOfficer();
    ASSERT_EQ(u32SetMaxLoginFailCnt(0, 0, 3), CKR_OK);
    ASSERT_EQ(u32SetPasswordLengths(0, 6, 32), CKR_OK);
    ASSERT_EQ(u32SetBitOptions(0, 0x0102), CKR_OK);
    ASSERT_EQ(u32GetTokenConfig(0, record), CKR_OK);
    const uint8_t expected[8] = {1, 8, 3, 0, 6, 0, 0x02, 0x01};
    EXPECT_EQ(std::memcmp(record, expected, 8), 0);

    uint64_t length = 0;
    EXPECT_FALSE(bReadLogEntries(0, nullptr, &length));
    ASSERT_GT(length, 0u);
    Bytes log(length);
    ASSERT_TRUE(bReadLogEntries(0, log.data(), &length));
    std::string text(log.begin(), log.begin() + long(length));
    EXPECT_NE(text.find("user login"), std::string::npos);
    EXPECT_NE(text.find("bit options changed"), std::string::npos);
    EXPECT_EQ(text.find(kUserPin), std::string::npos);
}

TEST_F(Admin, BitcoinKeySlot) {
    uint32_t session = static_cast<uint32_t>(user);
    uint32_t key = 0;
    EXPECT_EQ(u32HasBitcoinKey(session, &key), ORVO_NO_BITCOIN_KEY);
    const uint8_t seed[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    ASSERT_EQ(u32ImportBitcoinKey(session, seed, sizeof seed), CKR_OK);
    EXPECT_EQ(u32HasBitcoinKey(session, &key), CKR_OK);
    EXPECT_NE(key, 0u);
    EXPECT_EQ(u32ImportBitcoinKey(session, seed, sizeof seed), ORVO_BITCOIN_KEY_EXISTS);

    uint32_t path[1] = {0x80000000u};
    uint8_t pub[65];
    uint64_t pubLength = sizeof pub;
    ASSERT_EQ(u32GetBitcoinPub(session, path, 1, pub, &pubLength), CKR_OK);
    ASSERT_EQ(pubLength, 33u);
    EXPECT_EQ(pub[0], 0x03);
    EXPECT_EQ(pub[1], 0x5a);
    EXPECT_EQ(pub[32], 0x56);

    uint8_t hash[32] = {1};
    uint8_t signature[72];
    uint64_t signatureLength = sizeof signature;
    path[0] = 0x80000000u;  // the call above left it in the device's byte order
    ASSERT_EQ(u32SignBitcoinHash(session, hash, sizeof hash, path, 1, signature, &signatureLength), CKR_OK);
    EXPECT_EQ(signatureLength, 64u);
}
