// The storage image: backup in pieces, factory reset, restore in pieces with its integrity
// checks, and persistence of what a restore brings.
#include "admin_harness.h"

using namespace simtest;

namespace {

const Bytes kBlock(16, 0x5A);

// A ready token with an AES key, two large data objects (so that the image needs several
// pieces) and a changed session timeout; the SO is logged in.
struct Stocked {
    explicit Stocked(dravenholt::sim::EngineOptions options = {}) : d(std::move(options)) {
        s = d.readyUserSession();
        uint32_t key = d.secretKey(s, CKK_AES, Bytes(16, 0x11), {flag(CKA_TOKEN, true), text(CKA_LABEL, "kept")});
        for (uint8_t fill : {1, 2})
            d.create(s, {num(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, true), bytes(CKA_VALUE, Bytes(1500, fill))});
        encrypted = d.crypt(s, true, mech(CKM_AES_ECB), key, kBlock);
        EXPECT_EQ(d.call(kLogout, s).rv, CKR_OK);
        EXPECT_EQ(d.login(s, CKU_SO, kSoPin), CKR_OK);
        EXPECT_EQ(d.call(adminRequest(kSetTimeout, 30)).rv, CKR_OK);
    }
    // The user's view after a restore: the key encrypts as before, both data objects are there.
    void expectContents() {
        uint32_t user = d.open();
        ASSERT_EQ(d.login(user, CKU_USER, kUserPin), CKR_OK);
        auto keys = d.find(user, {text(CKA_LABEL, "kept")});
        ASSERT_EQ(keys.size(), 1u);
        EXPECT_EQ(d.crypt(user, true, mech(CKM_AES_ECB), keys[0], kBlock), encrypted);
        EXPECT_EQ(d.find(user, {num(CKA_CLASS, CKO_DATA)}).size(), 2u);
        EXPECT_EQ(config(d).value2, 30u);
    }
    Device d;
    uint32_t s = 0;
    Bytes encrypted;
};

}  // namespace

TEST(AdminStorage, BackupResetRestoreBringsObjectsPinsAndConfigurationBack) {
    Stocked t;
    Backup b = backup(t.d);
    ASSERT_EQ(b.rv, CKR_OK);
    EXPECT_GE(b.pieces, 2);

    ASSERT_EQ(t.d.call(adminRequest(kFactoryReset)).rv, CKR_OK);
    EXPECT_EQ(t.d.call(kGetSessionInfo, t.s).rv, CKR_SESSION_HANDLE_INVALID);  // every session ended
    EXPECT_FALSE(t.d.call(adminRequest(kGetTokenInfo)).tokenInfo->flags & CKF_TOKEN_INITIALIZED);
    EXPECT_EQ(config(t.d).value2, 0u);

    ASSERT_EQ(restore(t.d, b.image), CKR_OK);  // a blank token takes an image without a login
    t.expectContents();
    // The restored token backs up to the same image.
    ASSERT_EQ(t.d.call(adminRequest(kCloseAll)).rv, CKR_OK);
    ASSERT_EQ(t.d.login(t.d.open(), CKU_SO, kSoPin), CKR_OK);
    EXPECT_EQ(backup(t.d).image, b.image);
}

TEST(AdminStorage, DamagedImagesAreRefusedAndTheTokenKeepsItsState) {
    Stocked t;
    Bytes image = backup(t.d).image;
    Bytes corrupted = image;
    corrupted[corrupted.size() / 2] ^= 0x01;
    Bytes truncated(image.begin(), image.end() - 100);
    for (const Bytes* bad : {&std::as_const(corrupted), &std::as_const(truncated), &kBlock}) {
        EXPECT_EQ(restore(t.d, *bad), CKR_DATA_INVALID);
        EXPECT_EQ(t.d.call(kGetSessionInfo, t.s).rv, CKR_OK);  // nothing was replaced
    }
    EXPECT_NE(readLog(t.d).find("storage image refused: checksum mismatch"), std::string::npos);

    // Pieces out of order, or a transfer that stops early, change nothing either.
    Request first = adminRequest(kRestore, uint32_t(image.size()), 1536);
    first.data = Bytes(image.begin(), image.begin() + 1536);
    EXPECT_EQ(t.d.call(first).rv, CKR_OPERATION_ACTIVE);
    Request skipped = adminRequest(kRestore, uint32_t(image.size()), 3072 + 10);
    skipped.data = Bytes(1536, 0);
    EXPECT_EQ(t.d.call(skipped).rv, CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(t.d.call(first).rv, CKR_OPERATION_ACTIVE);
    EXPECT_EQ(config(t.d).value2, 30u);
    EXPECT_EQ(restore(t.d, image), CKR_OK);  // the whole image after all that is taken
}

TEST(AdminStorage, TransfersNeedTheOfficerAndSoundArguments) {
    Stocked t;
    Response small = t.d.call(Call(kBackup).length(100));
    EXPECT_EQ(small.rv, CKR_BUFFER_TOO_SMALL);
    EXPECT_GT(small.length.value_or(0), 3000u);  // the length the image needs
    EXPECT_EQ(t.d.rv(Call(kBackup).handle(12345).length(1u << 20)), CKR_OPERATION_NOT_INITIALIZED);
    Bytes image = backup(t.d).image;
    EXPECT_EQ(restore(t.d, image, 1536, 8u << 20), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(t.d.rv(Call(kRestore).data(Bytes(4, 0))), CKR_ARGUMENTS_BAD);

    ASSERT_EQ(t.d.call(kLogout, t.s).rv, CKR_OK);
    EXPECT_EQ(backup(t.d).rv, CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(restore(t.d, image), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(t.d.login(t.s, CKU_USER, kUserPin), CKR_OK);
    EXPECT_EQ(backup(t.d).rv, CKR_USER_NOT_LOGGED_IN);
}

TEST(AdminStorage, RestoreAndResetPersist) {
    TempDir dir;
    dravenholt::sim::EngineOptions options;
    options.stateFile = dir.path() / "token.state";
    Stocked t(options);
    Bytes image = backup(t.d).image;
    ASSERT_EQ(t.d.call(adminRequest(kFactoryReset)).rv, CKR_OK);
    t.d.restart(options);
    EXPECT_FALSE(t.d.call(adminRequest(kGetTokenInfo)).tokenInfo->flags & CKF_TOKEN_INITIALIZED);
    ASSERT_EQ(restore(t.d, image), CKR_OK);
    t.d.restart(options);
    t.expectContents();
}
