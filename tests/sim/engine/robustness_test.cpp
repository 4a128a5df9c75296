// Untrusted input: malformed, oversized and out-of-order requests; concurrent callers;
// random numbers.
#include <atomic>
#include <random>
#include <set>
#include <thread>

#include "harness.h"

using namespace simtest;

namespace {

// Feeds raw bytes; every reply must decode and fit the message limit.
Response raw(dravenholt::sim::Engine& engine, const Bytes& bytes) {
    Bytes reply = engine.process(bytes);
    EXPECT_LE(reply.size(), 2048u);
    Response resp;
    EXPECT_TRUE(dravenholt::wire::decodeResponse(reply.data(), reply.size(), resp));
    return resp;
}

Bytes encode(const Call& c) {
    Bytes out;
    dravenholt::wire::encodeRequest(c.r, out);
    return out;
}

}  // namespace

TEST(Robustness, MalformedAndOversizedRequestsGetAnError) {
    Device d;
    EXPECT_EQ(raw(d.engine(), {}).rv, CKR_ARGUMENTS_BAD);
    EXPECT_EQ(raw(d.engine(), {0xFF, 0xFF, 0xFF}).rv, CKR_ARGUMENTS_BAD);
    EXPECT_EQ(raw(d.engine(), {0x10, 0x05}).rv, CKR_ARGUMENTS_BAD);                    // no field 1
    EXPECT_EQ(raw(d.engine(), {0x08, 0x13, 0x22, 0x50, 0x01}).rv, CKR_ARGUMENTS_BAD);  // truncated field
    EXPECT_EQ(raw(d.engine(), Bytes(2049, 0x08)).rv, CKR_DATA_LEN_RANGE);
    EXPECT_EQ(raw(d.engine(), {0x08, 0x22}).rv, CKR_OK);  // the bare token information request
}

TEST(Robustness, UnknownIdentifiersAreNotSupported) {
    Device d;
    for (uint32_t id : {0u, 30u, 41u, 47u, 48u, 58u, 65u, 999u})
        EXPECT_EQ(d.rv(Call(id, 1)), CKR_FUNCTION_NOT_SUPPORTED) << id;
}

TEST(Robustness, MissingFieldsAndWrongOrderAreRefused) {
    Device d;
    uint32_t s = d.readyUserSession();
    for (uint32_t fn : {kEncrypt, kDecrypt, kEncryptUpdate, kDecryptFinal, kSign, kSignUpdate, kSignFinal, kVerify, kVerifyFinal,
                        kDigestUpdate, kDigestFinal, kDigestKey, kFindObjects, kFindFinal}) {
        EXPECT_EQ(d.rv(Call(fn, s)), CKR_OPERATION_NOT_INITIALIZED) << fn;
        EXPECT_EQ(d.rv(Call(fn, s + 100)), CKR_SESSION_HANDLE_INVALID) << fn;
        EXPECT_EQ(d.rv(Call(fn)), CKR_SESSION_HANDLE_INVALID) << fn;
    }
    for (uint32_t fn : {kEncryptInit, kSignInit, kDigestInit, kGenerateKey, kGenerateKeyPair, kWrapKey, kUnwrapKey, kDeriveKey})
        EXPECT_EQ(d.rv(Call(fn, s)), CKR_MECHANISM_INVALID) << fn;
    Call init = Call(kEncryptInit, s).mech(mech(CKM_AES_ECB));
    EXPECT_EQ(d.rv(init), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(d.rv(Call(init).handle(12345)), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(d.rv(Call(init).handle(d.create(s, {num(CKA_CLASS, CKO_DATA)}))), CKR_KEY_TYPE_INCONSISTENT);
    for (uint32_t fn : {kGetAttributeValue, kSetAttributeValue, kDestroyObject, kCopyObject, kGetObjectSize})
        EXPECT_EQ(d.rv(Call(fn, s)), CKR_OBJECT_HANDLE_INVALID) << fn;
    EXPECT_EQ(d.rv(Call(kGenerateRandom, s)), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(d.rv(Call(kSeedRandom, s)), CKR_ARGUMENTS_BAD);
}

TEST(Robustness, AnOutputTooLongForAReplyIsRefusedNotTruncated) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, Bytes(16, 1));
    ASSERT_EQ(d.rv(Call(kEncryptInit, s).mech(mech(CKM_AES_CBC_PAD, Bytes(16, 0))).handle(key)), CKR_OK);
    Response r = d.call(Call(kEncrypt, s).data(Bytes(2030, 0)));
    EXPECT_EQ(r.rv, CKR_DATA_LEN_RANGE);
    EXPECT_FALSE(r.data);
}

TEST(Robustness, RandomAndMutatedRequestsNeverBreakTheEngine) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, Bytes(16, 1));
    Bytes valid = encode(Call(kEncryptInit, s).mech(mech(CKM_AES_CBC, Bytes(16, 0))).handle(key).templ({num(CKA_CLASS, CKO_DATA)}));
    std::mt19937 rng(1234);
    for (int i = 0; i < 3000; ++i) {
        Bytes input;
        if (i % 2 == 0) {
            input.resize(rng() % 64);
            for (uint8_t& b : input) b = uint8_t(rng());
            if (input.size() > 1) input[0] = 0x08, input[1] = uint8_t(rng() % 66);  // a plausible identifier
        } else {
            input = valid;
            for (int flips = 1 + int(rng() % 4); flips > 0; --flips) input[rng() % input.size()] ^= uint8_t(1 << (rng() % 8));
        }
        raw(d.engine(), input);
    }
    EXPECT_EQ(d.rv(Call(kGetSessionInfo, s)), CKR_OK);  // still a working token
}

TEST(Robustness, ConcurrentSessionsDoNotDisturbEachOther) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, Bytes(16, 7), {flag(CKA_TOKEN, true)});
    Mechanism m = mech(CKM_AES_CBC_PAD, Bytes(16, 1));
    Bytes expected = d.crypt(s, true, m, key, Bytes(100, 3));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        uint32_t own = d.open();
        threads.emplace_back([&, own] {
            for (int i = 0; i < 50; ++i) {
                Response init = raw(d.engine(), encode(Call(kEncryptInit, own).mech(m).handle(key)));
                Response run = raw(d.engine(), encode(Call(kEncrypt, own).data(Bytes(100, 3)).length(200)));
                if (init.rv != CKR_OK || run.rv != CKR_OK || run.data != expected) ++failures;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(Random, BytesAreFreshAndSeedingIsAccepted) {
    Device d;
    uint32_t s = d.open(false);
    std::set<Bytes> seen;
    for (int i = 0; i < 4; ++i) {
        Response resp = d.call(Call(kGenerateRandom, s).length(1024));
        ASSERT_EQ(resp.rv, CKR_OK);
        ASSERT_EQ(resp.data->size(), 1024u);
        seen.insert(*resp.data);
    }
    EXPECT_EQ(seen.size(), 4u);
    EXPECT_EQ(d.rv(Call(kSeedRandom, s).data(Bytes(1500, 0xAB))), CKR_OK);
    EXPECT_EQ(d.rv(Call(kGenerateRandom, s).length(0)), CKR_OK);
    EXPECT_EQ(d.rv(Call(kGenerateRandom, s).length(5000)), CKR_DATA_LEN_RANGE);
}
