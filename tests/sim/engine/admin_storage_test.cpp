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
        key = d.secretKey(s, CKK_AES, Bytes(16, 0x11), {flag(CKA_TOKEN, true), text(CKA_LABEL, "kept")});
        for (uint8_t fill : {1, 2})
            d.create(s, {num(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, true), bytes(CKA_VALUE, Bytes(1500, fill))});
        encrypted = d.crypt(s, true, mech(CKM_AES_ECB), key, kBlock);
        EXPECT_EQ(d.call(kLogout, s).rv, CKR_OK);
        EXPECT_EQ(d.login(s, CKU_SO, kSoPin), CKR_OK);
        EXPECT_EQ(d.call(adminRequest(kSetTimeout, 30)).rv, CKR_OK);
    }
    // Handles of the objects that match `templ`, as the user sees them.
    std::vector<uint32_t> find(uint32_t session, std::vector<Attribute> templ) {
        Request init;
        init.function = kFindInit;
        init.session = session;
        init.templ = std::move(templ);
        EXPECT_EQ(d.call(init).rv, CKR_OK);
        Request next;
        next.function = kFindObjects;
        next.session = session;
        next.length = 10;
        Bytes list = d.call(next).data.value_or(Bytes{});
        EXPECT_EQ(d.call(kFindFinal, session).rv, CKR_OK);
        std::vector<uint32_t> handles;
        for (size_t i = 0; i + 4 <= list.size(); i += 4)
            handles.push_back(uint32_t(list[i]) | uint32_t(list[i + 1]) << 8 | uint32_t(list[i + 2]) << 16 | uint32_t(list[i + 3]) << 24);
        return handles;
    }
    // The user's view after a restore: the key encrypts as before, both data objects are there.
    void expectContents() {
        uint32_t user = d.open();
        ASSERT_EQ(d.login(user, CKU_USER, kUserPin), CKR_OK);
        auto keys = find(user, {text(CKA_LABEL, "kept")});
        ASSERT_EQ(keys.size(), 1u);
        EXPECT_EQ(d.crypt(user, true, mech(CKM_AES_ECB), keys[0], kBlock), encrypted);
        EXPECT_EQ(find(user, {num(CKA_CLASS, CKO_DATA)}).size(), 2u);
        EXPECT_EQ(config(d).value2, 30u);
    }
    Device d;
    uint32_t s = 0, key = 0;
    Bytes encrypted;
};

}  // namespace

TEST(AdminStorage, BackupResetRestoreBringsObjectsPinsAndConfigurationBack) {
    Stocked t;
    Backup b = backup(t.d);
    ASSERT_EQ(b.rv, CKR_OK);
    EXPECT_GE(b.pieces, 2);
    EXPECT_GT(b.image.size(), 3000u);

    ASSERT_EQ(t.d.call(adminRequest(kFactoryReset)).rv, CKR_OK);
    EXPECT_EQ(t.d.call(kGetSessionInfo, t.s).rv, CKR_SESSION_HANDLE_INVALID);  // every session ended
    Response info = t.d.call(adminRequest(kGetTokenInfo));
    EXPECT_FALSE(info.tokenInfo->flags & CKF_TOKEN_INITIALIZED);
    EXPECT_EQ(config(t.d).value2, 0u);

    // A blank token takes an image without a login.
    ASSERT_EQ(restore(t.d, b.image), CKR_OK);
    info = t.d.call(adminRequest(kGetTokenInfo));
    EXPECT_TRUE(info.tokenInfo->flags & CKF_USER_PIN_INITIALIZED);
    t.expectContents();
    // The restored token backs up to the same image.
    ASSERT_EQ(t.d.call(adminRequest(kCloseAll)).rv, CKR_OK);
    uint32_t so = t.d.open();
    ASSERT_EQ(t.d.login(so, CKU_SO, kSoPin), CKR_OK);
    EXPECT_EQ(backup(t.d).image, b.image);
}

TEST(AdminStorage, DamagedImagesAreRefusedAndTheTokenKeepsItsState) {
    Stocked t;
    Bytes image = backup(t.d).image;
    Bytes corrupted = image;
    corrupted[corrupted.size() / 2] ^= 0x01;
    Bytes truncated(image.begin(), image.end() - 100);
    Bytes foreign(image.size(), 0x42);
    for (const Bytes* bad : {&corrupted, &truncated, &foreign}) {
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
    EXPECT_EQ(t.d.call(adminRequest(kSetTimeout, 0)).rv, CKR_OK);  // the token still answers as it was
    EXPECT_EQ(config(t.d).value2, 0u);

    // The whole image after all that is taken.
    EXPECT_EQ(restore(t.d, image), CKR_OK);
    t.expectContents();
}

TEST(AdminStorage, TransfersNeedTheOfficerAndSoundArguments) {
    Stocked t;
    Backup tooSmall = backup(t.d, 100);
    EXPECT_EQ(tooSmall.rv, CKR_BUFFER_TOO_SMALL);
    Request r = adminRequest(kBackup);
    r.length = 100;
    EXPECT_GT(t.d.call(r).length.value_or(0), 3000u);  // the length the image needs
    r = adminRequest(kBackup, 12345);
    r.length = 1u << 20;
    EXPECT_EQ(t.d.call(r).rv, CKR_OPERATION_NOT_INITIALIZED);  // no such transfer

    Bytes image = backup(t.d).image;
    EXPECT_EQ(restore(t.d, image, 1536, 8u << 20), CKR_DATA_LEN_RANGE);
    Request noTotal;
    noTotal.function = kRestore;
    noTotal.data = Bytes(4, 0);
    EXPECT_EQ(t.d.call(noTotal).rv, CKR_ARGUMENTS_BAD);

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
    Response info = t.d.call(adminRequest(kGetTokenInfo));
    EXPECT_FALSE(info.tokenInfo->flags & CKF_TOKEN_INITIALIZED);

    ASSERT_EQ(restore(t.d, image), CKR_OK);
    t.d.restart(options);
    t.expectContents();
}
