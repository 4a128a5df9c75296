// What the library refuses to send (missing pointers, unknown sessions, sizes the wire cannot carry,
// host numbers beyond the device's 32 bits, never cut to their low bits) and what it refuses to believe.
#include <cstring>
#include <functional>
#include <tuple>
#include <vector>

#include "frame/context.h"
#include "orvo/admin.h"
#include "support/wide_numbers.h"
#include "unit/device_fixture.h"

using namespace orvotest;

namespace {

struct Refusal {
    const char* what;
    std::function<CK_RV()> call;
    CK_RV rv;
    bool wideOnly = false;
};

using Refusals = SessionTest;

TEST_F(Refusals, NothingIsSent) {
    const CK_SESSION_HANDLE s = session, unknown = session + 100;
    CK_BBOOL yes = CK_TRUE;
    CK_ULONG huge = wide(0x100000020ULL), n = 16, count = 0;
    CK_ATTRIBUTE tmpl[] = {{CKA_TOKEN, &yes, 1}};
    CK_ATTRIBUTE hugeValue[] = {{CKA_VALUE_LEN, &huge, sizeof huge}};
    CK_ATTRIBUTE hugeType[] = {{wide(0x100000003ULL), nullptr, 0}};
    CK_OBJECT_HANDLE object = 0, found[1], pub, priv;
    CK_BYTE buf[16] = {}, iv[16] = {}, pin[] = "1234", oaepBlock[20] = {};
    Bytes big(2100, 0x55);
    CK_MECHANISM ecb{CKM_AES_ECB, nullptr, 0}, noBlock{CKM_AES_CBC, nullptr, 16}, noPss{CKM_SHA256_RSA_PKCS_PSS, nullptr, 12},
        shortOaep{CKM_RSA_PKCS_OAEP, oaepBlock, sizeof oaepBlock};
    CK_ECDH1_DERIVE_PARAMS ecdh{CKD_NULL, 0, nullptr, 0, nullptr};
    CK_MECHANISM shortEcdh{CKM_ECDH1_DERIVE, &ecdh, sizeof ecdh - 1};
    const CK_ULONG beyond = wide(0x100000001ULL);
    const auto u = static_cast<uint32_t>(s);  // the administration calls' session
    uint32_t path[1] = {0x80000000u};
    uint8_t hash[32] = {}, record[8] = {1, 7};
    uint64_t length = sizeof buf, zero = 0;
    CK_RSA_PKCS_PSS_PARAMS widePss{CKM_SHA256, CKG_MGF1_SHA256, wide(0x100000000ULL)};
    CK_MECHANISM wideSalt{CKM_SHA256_RSA_PKCS_PSS, &widePss, sizeof widePss}, wideType{beyond, nullptr, 0},
        wideIv{CKM_AES_CBC, iv, wide(0x100000010ULL)};
    const Refusal table[] = {
        {"create without template", [&] { return C_CreateObject(s, nullptr, 1, &object); }, CKR_ARGUMENTS_BAD},
        {"create with no records", [&] { return C_CreateObject(s, tmpl, 0, &object); }, CKR_ARGUMENTS_BAD},
        {"create without handle", [&] { return C_CreateObject(s, tmpl, 1, nullptr); }, CKR_ARGUMENTS_BAD},
        {"copy without handle", [&] { return C_CopyObject(s, 1, tmpl, 1, nullptr); }, CKR_ARGUMENTS_BAD},
        {"size without output", [&] { return C_GetObjectSize(s, 1, nullptr); }, CKR_ARGUMENTS_BAD},
        {"set without template", [&] { return C_SetAttributeValue(s, 1, nullptr, 1); }, CKR_ARGUMENTS_BAD},
        {"get without template", [&] { return C_GetAttributeValue(s, 1, nullptr, 1); }, CKR_ARGUMENTS_BAD},
        {"get with no records", [&] { return C_GetAttributeValue(s, 1, tmpl, 0); }, CKR_ARGUMENTS_BAD},
        {"find without output", [&] { return C_FindObjects(s, nullptr, 1, &count); }, CKR_ARGUMENTS_BAD},
        {"find for none", [&] { return C_FindObjects(s, found, 0, &count); }, CKR_ARGUMENTS_BAD},
        {"find without count", [&] { return C_FindObjects(s, found, 1, nullptr); }, CKR_ARGUMENTS_BAD},
        {"destroy, wide handle", [&] { return C_DestroyObject(s, beyond); }, CKR_OBJECT_HANDLE_INVALID, true},
        {"copy, wide handle", [&] { return C_CopyObject(s, beyond, tmpl, 1, &object); }, CKR_OBJECT_HANDLE_INVALID, true},
        {"get, wide handle", [&] { return C_GetAttributeValue(s, beyond, tmpl, 1); }, CKR_OBJECT_HANDLE_INVALID, true},
        {"create, wide number", [&] { return C_CreateObject(s, hugeValue, 1, &object); }, CKR_ATTRIBUTE_VALUE_INVALID, true},
        {"get, wide type", [&] { return C_GetAttributeValue(s, 1, hugeType, 1); }, CKR_ATTRIBUTE_TYPE_INVALID, true},
        {"find, wide count", [&] { return C_FindObjects(s, found, wide(0x100000000ULL), &count); }, CKR_ARGUMENTS_BAD, true},
        {"slot info, wide slot", [&] { CK_SLOT_INFO i; return C_GetSlotInfo(wide(0x100000000ULL), &i); }, CKR_SLOT_ID_INVALID, true},
        {"logout, wide session", [&] { return C_Logout(wide(0xFFFFFFFF00000000ULL) | s); }, CKR_SESSION_HANDLE_INVALID, true},
        {"login, wide user type", [&] { return C_Login(s, wide(0x100000001ULL), pin, 4); }, CKR_USER_TYPE_INVALID, true},
        {"login without PIN", [&] { return C_Login(s, CKU_USER, nullptr, 0); }, CKR_ARGUMENTS_BAD},
        {"init PIN, null with length", [&] { return C_InitPIN(s, nullptr, 3); }, CKR_ARGUMENTS_BAD},
        {"set PIN without new one", [&] { return C_SetPIN(s, pin, 4, nullptr, 0); }, CKR_ARGUMENTS_BAD},
        {"encrypt init without mechanism", [&] { return C_EncryptInit(s, nullptr, 1); }, CKR_ARGUMENTS_BAD},
        {"encrypt init, null block with length", [&] { return C_EncryptInit(s, &noBlock, 1); }, CKR_ARGUMENTS_BAD},
        {"encrypt init, short OAEP block", [&] { return C_EncryptInit(s, &shortOaep, 1); }, CKR_ARGUMENTS_BAD},
        {"encrypt, input beyond a request", [&] { return C_Encrypt(s, big.data(), 2048, buf, &n); }, CKR_DATA_LEN_RANGE},
        {"encrypt init, wide key", [&] { return C_EncryptInit(s, &ecb, wide(0x100000000ULL)); }, CKR_KEY_HANDLE_INVALID, true},
        {"encrypt update, wide length", [&] { return C_EncryptUpdate(s, big.data(), wide(0x100000000ULL), buf, &n); }, CKR_DATA_LEN_RANGE, true},
        {"decrypt, wide output length", [&] { CK_ULONG w = wide(0x100000010ULL); return C_Decrypt(s, buf, 16, buf, &w); }, CKR_ARGUMENTS_BAD, true},
        {"encrypt init, wide mechanism type", [&] { return C_EncryptInit(s, &wideType, 1); }, CKR_MECHANISM_INVALID, true},
        {"encrypt init, wide parameter length", [&] { return C_EncryptInit(s, &wideIv, 1); }, CKR_DATA_LEN_RANGE, true},
        {"encrypt init, unknown session", [&] { return C_EncryptInit(unknown, &ecb, 1); }, CKR_SESSION_HANDLE_INVALID},
        {"encrypt, unknown session", [&] { return C_Encrypt(unknown, buf, 16, buf, &n); }, CKR_SESSION_HANDLE_INVALID},
        {"sign init, null block with length", [&] { return C_SignInit(s, &noPss, 1); }, CKR_ARGUMENTS_BAD},
        {"sign init, wide number in the block", [&] { return C_SignInit(s, &wideSalt, 1); }, CKR_MECHANISM_PARAM_INVALID, true},
        {"verify init without mechanism", [&] { return C_VerifyInit(s, nullptr, 1); }, CKR_ARGUMENTS_BAD},
        {"sign init, mechanism checked first", [&] { return C_SignInit(unknown, nullptr, 1); }, CKR_ARGUMENTS_BAD},
        {"sign init, unknown session", [&] { return C_SignInit(unknown, &ecb, 1); }, CKR_SESSION_HANDLE_INVALID},
        {"sign without length", [&] { return C_Sign(s, buf, 3, nullptr, nullptr); }, CKR_ARGUMENTS_BAD},
        {"sign, null data with length", [&] { return C_Sign(s, nullptr, 5, nullptr, &n); }, CKR_ARGUMENTS_BAD},
        {"sign update, null data", [&] { return C_SignUpdate(s, nullptr, 0); }, CKR_ARGUMENTS_BAD},
        {"sign final without length", [&] { return C_SignFinal(s, buf, nullptr); }, CKR_ARGUMENTS_BAD},
        {"verify without signature", [&] { return C_Verify(s, buf, 4, nullptr, 0); }, CKR_ARGUMENTS_BAD},
        {"verify, null data with length", [&] { return C_Verify(s, nullptr, 1, buf, 6); }, CKR_ARGUMENTS_BAD},
        {"digest init without mechanism", [&] { return C_DigestInit(s, nullptr); }, CKR_ARGUMENTS_BAD},
        {"digest init, null block with length", [&] { CK_MECHANISM m{CKM_SHA256, nullptr, 3}; return C_DigestInit(s, &m); }, CKR_ARGUMENTS_BAD},
        {"digest update, null data", [&] { return C_DigestUpdate(s, nullptr, 0); }, CKR_ARGUMENTS_BAD},
        {"digest key, wide key", [&] { return C_DigestKey(s, wide(0x100000000ULL)); }, CKR_KEY_HANDLE_INVALID, true},
        {"generate without template", [&] { return C_GenerateKey(s, &ecb, nullptr, 0, &object); }, CKR_ARGUMENTS_BAD},
        {"generate without mechanism", [&] { return C_GenerateKey(s, nullptr, tmpl, 1, &object); }, CKR_ARGUMENTS_BAD},
        {"pair without private template", [&] { return C_GenerateKeyPair(s, &ecb, tmpl, 1, nullptr, 0, &pub, &priv); }, CKR_ARGUMENTS_BAD},
        {"pair without private handle", [&] { return C_GenerateKeyPair(s, &ecb, tmpl, 1, tmpl, 1, &pub, nullptr); }, CKR_ARGUMENTS_BAD},
        {"derive from key 0", [&] { return C_DeriveKey(s, &ecb, 0, nullptr, 0, &object); }, CKR_ARGUMENTS_BAD},
        {"derive, null template with count", [&] { return C_DeriveKey(s, &ecb, 1, nullptr, 2, &object); }, CKR_ARGUMENTS_BAD},
        {"derive without handle", [&] { return C_DeriveKey(s, &ecb, 1, nullptr, 0, nullptr); }, CKR_ARGUMENTS_BAD},
        {"derive, short ECDH1 block", [&] { return C_DeriveKey(s, &shortEcdh, 1, nullptr, 0, &object); }, CKR_ARGUMENTS_BAD},
        {"derive, wide key", [&] { return C_DeriveKey(s, &ecb, beyond, nullptr, 0, &object); }, CKR_KEY_HANDLE_INVALID, true},
        {"wrap, null block with length", [&] { return C_WrapKey(s, &noBlock, 1, 2, buf, &n); }, CKR_ARGUMENTS_BAD},
        {"wrap without length", [&] { return C_WrapKey(s, &ecb, 1, 2, buf, nullptr); }, CKR_ARGUMENTS_BAD},
        {"wrap, wide wrapping key", [&] { return C_WrapKey(s, &ecb, wide(0x100000000ULL), 2, buf, &n); }, CKR_WRAPPING_KEY_HANDLE_INVALID, true},
        {"unwrap without wrapped key", [&] { return C_UnwrapKey(s, &ecb, 1, nullptr, 5, nullptr, 0, &object); }, CKR_ARGUMENTS_BAD},
        {"unwrap, null template with count", [&] { return C_UnwrapKey(s, &ecb, 1, buf, 5, nullptr, 1, &object); }, CKR_ARGUMENTS_BAD},
        {"unwrap, wide unwrapping key", [&] { return C_UnwrapKey(s, &ecb, wide(0x100000000ULL), buf, 5, nullptr, 0, &object); }, CKR_UNWRAPPING_KEY_HANDLE_INVALID, true},
        {"random without output", [&] { return C_GenerateRandom(s, nullptr, 0); }, CKR_ARGUMENTS_BAD},
        {"random, unknown session", [&] { return C_GenerateRandom(unknown, buf, 1); }, CKR_SESSION_HANDLE_INVALID},
        {"empty random, unknown session", [&] { return C_GenerateRandom(unknown, buf, 0); }, CKR_OK},
        {"empty seed", [&] { return C_SeedRandom(s, buf, 0); }, CKR_ARGUMENTS_BAD},
        {"seed, null with length", [&] { return C_SeedRandom(s, nullptr, 4); }, CKR_ARGUMENTS_BAD},
        {"seed beyond a request", [&] { return C_SeedRandom(s, big.data(), big.size()); }, CKR_DATA_LEN_RANGE},
        {"public key without path", [&] { return u32GetBitcoinPub(u, nullptr, 1, buf, &length); }, CKR_ARGUMENTS_BAD},
        {"public key without output", [&] { return u32GetBitcoinPub(u, path, 1, nullptr, &length); }, CKR_ARGUMENTS_BAD},
        {"public key into no room", [&] { return u32GetBitcoinPub(u, path, 1, buf, &zero); }, CKR_ARGUMENTS_BAD},
        {"public key, path beyond a request", [&] { return u32GetBitcoinPub(u, path, 1u << 20, buf, &length); }, CKR_DATA_LEN_RANGE},
        {"public key, unknown session", [&] { return u32GetBitcoinPub(u + 9, path, 1, buf, &length); }, CKR_SESSION_HANDLE_INVALID},
        {"sign hash, empty hash", [&] { return u32SignBitcoinHash(u, hash, 0, path, 1, buf, &length); }, CKR_ARGUMENTS_BAD},
        {"sign hash into no room", [&] { return u32SignBitcoinHash(u, hash, 32, path, 1, buf, &zero); }, CKR_ARGUMENTS_BAD},
        {"import without key", [&] { return u32ImportBitcoinKey(u, nullptr, 32); }, CKR_ARGUMENTS_BAD},
        {"import, key beyond 32 bits", [&] { return u32ImportBitcoinKey(u, hash, 0x100000000ULL); }, CKR_DATA_LEN_RANGE},
        {"has key, unknown session", [&] { return u32HasBitcoinKey(u + 100, nullptr); }, CKR_SESSION_HANDLE_INVALID},
        {"configuration without record", [&] { return u32GetTokenConfig(0, nullptr); }, CKR_ARGUMENTS_BAD},
        {"configuration, record of another size", [&] { return u32GetTokenConfig(0, record); }, CKR_ARGUMENTS_BAD},
        {"backup, unknown slot", [&] { return u32BackupStorage(2, buf, &length); }, CKR_SLOT_ID_INVALID},
        {"backup without buffer", [&] { return u32BackupStorage(0, nullptr, &length); }, CKR_ARGUMENTS_BAD},
        {"backup into no room", [&] { return u32BackupStorage(0, buf, &zero); }, CKR_ARGUMENTS_BAD},
        {"restore, unknown slot", [&] { return u32RestoreStorage(5, nullptr, 0); }, CKR_SLOT_ID_INVALID},
        {"restore nothing", [&] { return u32RestoreStorage(1, buf, 0); }, CKR_ARGUMENTS_BAD},
        // A length the wire cannot carry would reach the device as a different total.
        {"restore beyond 32 bits", [&] { return u32RestoreStorage(1, buf, 0x100000004ULL); }, CKR_DATA_LEN_RANGE},
        {"read log without length", [&] { return bReadLogEntries(0, nullptr, nullptr) ? CKR_OK : CKR_FUNCTION_FAILED; }, CKR_FUNCTION_FAILED},
        {"read log, capacity without buffer", [&] { return bReadLogEntries(0, nullptr, &length) ? CKR_OK : CKR_FUNCTION_FAILED; }, CKR_FUNCTION_FAILED},
    };
    for (const Refusal& r : table) {
        if (r.wideOnly && !kWideHostNumbers) continue;
        EXPECT_EQ(r.call(), r.rv) << r.what;
        EXPECT_TRUE(sent().empty()) << r.what;
    }
    EXPECT_TRUE(object == 0u && path[0] == 0x80000000u && b->calls().empty());  // nothing written, converted or sent
}

using ResultFields = SessionTest;

// A success reply without the fields that carry its result, and an answer of CKR_BUFFER_TOO_SMALL
// without the length needed, are device errors that write none of the caller's outputs.
TEST_F(ResultFields, AnswersWithoutTheirResultAreDeviceErrors) {
    constexpr CK_ULONG kFill = 0x5A5A;  // in the outputs before each call
    CK_ULONG out[2];
    CK_TOKEN_INFO token;
    CK_SESSION_INFO sessionInfo;
    CK_BYTE random[8], wrapped[4] = {1, 2, 3, 4};
    CK_MECHANISM mech = {CKM_AES_KEY_GEN, nullptr, 0};
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE tmpl[1] = {{CKA_TOKEN, &yes, 1}};
    auto pair = [&] { return C_GenerateKeyPair(session, &mech, tmpl, 1, tmpl, 1, &out[0], &out[1]); };
    std::vector<std::tuple<const char*, Answer, std::function<CK_RV()>>> cases = {
        {"C_GetTokenInfo", reply(CKR_OK), [&] { return C_GetTokenInfo(0, &token); }},
        {"C_OpenSession", reply(CKR_OK), [&] { return C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &out[0]); }},
        {"C_GetSessionInfo", reply(CKR_OK), [&] { return C_GetSessionInfo(session, &sessionInfo); }},
        {"C_CreateObject", reply(CKR_OK), [&] { return C_CreateObject(session, tmpl, 1, &out[0]); }},
        {"C_CopyObject", reply(CKR_OK), [&] { return C_CopyObject(session, 9, tmpl, 1, &out[0]); }},
        {"C_GenerateKey", reply(CKR_OK), [&] { return C_GenerateKey(session, &mech, tmpl, 1, &out[0]); }},
        {"C_GenerateKeyPair, public handle only", answer(CKR_OK, {}, 10), pair},
        {"C_GenerateKeyPair, private handle only", answer(CKR_OK, {}, {}, {}, 11), pair},
        {"C_UnwrapKey", reply(CKR_OK), [&] { return C_UnwrapKey(session, &mech, 3, wrapped, 4, tmpl, 1, &out[0]); }},
        {"C_DeriveKey", reply(CKR_OK), [&] { return C_DeriveKey(session, &mech, 3, tmpl, 1, &out[0]); }},
        {"C_GenerateRandom, nothing", reply(CKR_OK), [&] { return C_GenerateRandom(session, random, 8); }},
        {"C_GenerateRandom, short", output(Bytes(7, 1)), [&] { return C_GenerateRandom(session, random, 8); }},
    };
    // Every call that returns bytes into a caller's buffer, as a length query and into a buffer too small.
    using Output = std::function<CK_RV(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR)>;
    const std::pair<const char*, Output> outputs[] = {
        {"C_Encrypt", [&](auto h, auto o, auto n) { return C_Encrypt(h, wrapped, 4, o, n); }},
        {"C_EncryptUpdate", [&](auto h, auto o, auto n) { return C_EncryptUpdate(h, wrapped, 4, o, n); }},
        {"C_EncryptFinal", C_EncryptFinal},
        {"C_Decrypt", [&](auto h, auto o, auto n) { return C_Decrypt(h, wrapped, 4, o, n); }},
        {"C_DecryptUpdate", [&](auto h, auto o, auto n) { return C_DecryptUpdate(h, wrapped, 4, o, n); }},
        {"C_DecryptFinal", C_DecryptFinal},
        {"C_Sign", [&](auto h, auto o, auto n) { return C_Sign(h, wrapped, 4, o, n); }},
        {"C_SignFinal", C_SignFinal},
        {"C_DigestFinal", C_DigestFinal},
        {"C_WrapKey", [&](auto h, auto o, auto n) { return C_WrapKey(h, &mech, 1, 2, o, n); }},
    };
    std::vector<CK_BYTE> buffer(kFill);
    for (const auto& [name, call] : outputs) {
        cases.emplace_back(name, reply(CKR_OK), [&] { return call(session, nullptr, &out[0]); });
        cases.emplace_back(name, reply(CKR_BUFFER_TOO_SMALL), [&] { return call(session, buffer.data(), &out[0]); });
    }
    for (const auto& [name, given, call] : cases) {
        SCOPED_TRACE(name);
        out[0] = out[1] = sessionInfo.ulDeviceError = kFill;
        std::memset(&token, '#', sizeof token);
        device->answer(given);
        EXPECT_EQ(call(), CKR_DEVICE_ERROR);
        EXPECT_TRUE(out[0] == kFill && out[1] == kFill && token.label[0] == '#' && sessionInfo.ulDeviceError == kFill);
        EXPECT_EQ(dravenholt::getContext().sessions().size(), 1u);
    }
    EXPECT_TRUE(logged("success reply without its result"));
}

TEST_F(ResultFields, MessagesBeyondTheLimitBrokenRepliesAndTransportsFail) {
    // Field 1 = CKR_OK, then field 3 with a two-byte length, padded so that the reply has `size` bytes.
    auto sized = [](size_t size) {
        const size_t body = size - 5;
        Bytes raw = {0x08, 0x00, 0x1a, static_cast<uint8_t>(0x80 | (body & 0x7F)), static_cast<uint8_t>(body >> 7)};
        raw.resize(size, 0x61);
        return raw;
    };
    device->answer(replyRaw(sized(2048)));
    EXPECT_EQ(C_Logout(session), CKR_OK);
    // Too long, empty, without field 1, a cut number, garbage: each fails, and the connection is
    // renewed for the next call.
    for (const Bytes& broken : {sized(2049), Bytes{}, Bytes{0x10, 0x05}, Bytes{0x08}, Bytes{0xFF, 0xFF, 0xFF}}) {
        device->answer(replyRaw(broken));
        EXPECT_EQ(C_Logout(session), CKR_FUNCTION_FAILED) << broken.size();
        EXPECT_EQ(C_Logout(session), CKR_OK);
    }
    // A token information whose label (its first field) has 33 bytes is not copied at all.
    Bytes label = {0x08, 0x00, 0x42, 35, 0x0A, 33};
    label.resize(label.size() + 33, 'L');
    device->answer(replyRaw(label));
    CK_TOKEN_INFO token{};
    EXPECT_EQ(C_GetTokenInfo(0, &token), CKR_FUNCTION_FAILED);
    EXPECT_EQ(token.label[0], 0);

    // 08 0d | 10 4d | 22 <len:2> <pin> | 40 01 : 2 + 2 + 3 + len + 2 bytes.
    std::vector<CK_UTF8CHAR> pin(2048 - 9, 'p');
    EXPECT_EQ(C_Login(session, CKU_USER, pin.data(), pin.size()), CKR_OK);
    EXPECT_EQ(device->rawRequests.back().size(), 2048u);
    size_t before = device->requests.size();
    pin.push_back('p');
    EXPECT_EQ(C_Login(session, CKU_USER, pin.data(), pin.size()), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(device->requests.size(), before);

    // A transport that fails to open is logged, and the next call opens it again.
    device->openError = "Device not detected";
    dravenholt::getContext().ports().find(0)->close();
    EXPECT_EQ(C_Logout(session), CKR_FUNCTION_FAILED);
    EXPECT_TRUE(logged("ERROR : Device not detected\n"));
    device->openError.clear();
    EXPECT_EQ(C_Logout(session), CKR_OK);
}

// Administration transfers: a backup in pieces, and what cannot finish: a piece beyond the room
// left, a device that keeps promising more without sending any, output beyond the buffer.
TEST_F(ResultFields, AdministrationTransfersStopAtWhatCannotFinish) {
    Bytes image = pattern(3000);
    a->answer(answer(CKR_OPERATION_ACTIVE, Bytes(image.begin(), image.begin() + 1200), 41));
    a->answer(answer(CKR_OK, Bytes(image.begin() + 1200, image.end())));
    CallerBuffer buffer(5000);
    uint64_t length = 0x100000000ULL + 5000;  // sent as the largest capacity, not cut to its low bits
    ASSERT_EQ(u32BackupStorage(0, buffer.data(), &length), CKR_OK);
    EXPECT_TRUE(length == 3000u && buffer.content(3000) == image && buffer.untouched(3000));
    auto sent = a->calls();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(std::make_tuple(sent[0].length, sent[1].handle), std::tuple(0xFFFFFFFFu, 41u));

    Bytes small(64);
    auto backupSmall = [&] { length = small.size(); return u32BackupStorage(0, small.data(), &length); };
    a->answer(answer(CKR_OPERATION_ACTIVE, pattern(40)));
    a->answer(answer(CKR_OPERATION_ACTIVE, pattern(40)));
    EXPECT_EQ(backupSmall(), CKR_FUNCTION_FAILED);
    EXPECT_EQ(length, 40u);
    a->fallback = answer(CKR_OPERATION_ACTIVE, Bytes{});
    EXPECT_EQ(backupSmall(), CKR_FUNCTION_FAILED);
    EXPECT_EQ(length, 0u);

    CallerBuffer log(100);
    length = 100;
    a->answer(answer(CKR_OK, pattern(101)));
    EXPECT_FALSE(bReadLogEntries(0, log.data(), &length));
    EXPECT_EQ(length, 100u);
    EXPECT_TRUE(log.untouched());
    uint32_t path[1] = {1};
    a->answer(answer(CKR_OK, pattern(17)));
    length = 16;
    EXPECT_EQ(u32GetBitcoinPub(static_cast<uint32_t>(session), path, 1, log.data(), &length), CKR_FUNCTION_FAILED);
    EXPECT_EQ(length, 16u);
    a->answer(answer(CKR_BUFFER_TOO_SMALL, std::nullopt, std::nullopt, 512));
    length = 0;
    EXPECT_FALSE(bReadLogEntries(0, nullptr, &length));
    EXPECT_EQ(length, 512u);
}

}  // namespace
