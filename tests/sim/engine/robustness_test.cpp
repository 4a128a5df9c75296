// Untrusted input: malformed, oversized and out-of-order requests; concurrent callers;
// random numbers.
#include <random>
#include <set>
#include <thread>

#include "harness.h"

using namespace simtest;

namespace {

Response raw(Device& d, const Bytes& bytes) {
    Bytes reply = d.engine().process(bytes);
    EXPECT_LE(reply.size(), 2048u);
    Response resp;
    EXPECT_TRUE(dravenholt::wire::decodeResponse(reply.data(), reply.size(), resp));
    return resp;
}

}  // namespace

TEST(Robustness, MalformedAndOversizedRequestsGetAnError) {
    Device d;
    EXPECT_EQ(raw(d, {}).rv, CKR_ARGUMENTS_BAD);
    EXPECT_EQ(raw(d, {0xFF, 0xFF, 0xFF}).rv, CKR_ARGUMENTS_BAD);
    EXPECT_EQ(raw(d, {0x10, 0x05}).rv, CKR_ARGUMENTS_BAD);  // field 2 without the required field 1
    EXPECT_EQ(raw(d, {0x08, 0x13, 0x22, 0x50, 0x01}).rv, CKR_ARGUMENTS_BAD);  // truncated bytes field
    EXPECT_EQ(raw(d, Bytes(2049, 0x08)).rv, CKR_DATA_LEN_RANGE);
    EXPECT_EQ(raw(d, {0x08, 0x22}).rv, CKR_OK);  // the bare token information request
}

TEST(Robustness, UnknownAndAdministrationIdentifiersAreNotSupported) {
    Device d;
    for (uint32_t id : {0u, 30u, 41u, 45u, 47u, 48u, 53u, 54u, 55u, 56u, 57u, 58u, 59u, 60u, 61u, 62u, 63u, 64u, 999u}) {
        Request r;
        r.function = id;
        r.session = 1;
        EXPECT_EQ(d.call(r).rv, CKR_FUNCTION_NOT_SUPPORTED) << id;
    }
}

TEST(Robustness, MissingFieldsAndWrongOrderAreRefused) {
    Device d;
    uint32_t s = d.readyUserSession();
    for (uint32_t fn : {kEncrypt, kDecrypt, kEncryptUpdate, kDecryptFinal, kSign, kSignUpdate, kSignFinal, kVerify,
                        kVerifyFinal, kDigestUpdate, kDigestFinal, kFindObjects, kFindFinal}) {
        EXPECT_EQ(d.call(fn, s).rv, CKR_OPERATION_NOT_INITIALIZED) << fn;
        EXPECT_EQ(d.call(fn, s + 100).rv, CKR_SESSION_HANDLE_INVALID) << fn;
    }
    for (uint32_t fn : {kEncryptInit, kSignInit, kDigestInit, kGenerateKey, kGenerateKeyPair, kWrapKey, kUnwrapKey, kDeriveKey})
        EXPECT_EQ(d.call(fn, s).rv, CKR_MECHANISM_INVALID) << fn;
    Request init;
    init.function = kEncryptInit;
    init.session = s;
    init.mechanism = mech(CKM_AES_ECB);
    EXPECT_EQ(d.call(init).rv, CKR_KEY_HANDLE_INVALID);
    init.handle = 12345;
    EXPECT_EQ(d.call(init).rv, CKR_KEY_HANDLE_INVALID);
    uint32_t data = d.create(s, {num(CKA_CLASS, CKO_DATA)});
    init.handle = data;
    EXPECT_EQ(d.call(init).rv, CKR_KEY_TYPE_INCONSISTENT);
    for (uint32_t fn : {kGetAttributeValue, kSetAttributeValue, kDestroyObject, kCopyObject, kGetObjectSize})
        EXPECT_EQ(d.call(fn, s).rv, CKR_OBJECT_HANDLE_INVALID) << fn;
    EXPECT_EQ(d.call(kGenerateRandom, s).rv, CKR_ARGUMENTS_BAD);
    EXPECT_EQ(d.call(kSeedRandom, s).rv, CKR_ARGUMENTS_BAD);
}

TEST(Robustness, AnOversizedReplyIsRefusedNotTruncated) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, Bytes(16, 1));
    Request init;
    init.function = kEncryptInit;
    init.session = s;
    init.mechanism = mech(CKM_AES_CBC_PAD, Bytes(16, 0));
    init.handle = key;
    ASSERT_EQ(d.call(init).rv, CKR_OK);
    Request run;
    run.function = kEncrypt;
    run.session = s;
    run.data = Bytes(2030, 0);  // the padded output no longer fits a reply
    Response r = d.call(run);
    EXPECT_EQ(r.rv, CKR_DATA_LEN_RANGE);
    EXPECT_FALSE(r.data);
}

TEST(Robustness, RandomAndMutatedRequestsNeverBreakTheEngine) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, Bytes(16, 1));
    std::mt19937 rng(1234);
    Request base;
    base.function = kEncryptInit;
    base.session = s;
    base.mechanism = mech(CKM_AES_CBC, Bytes(16, 0));
    base.handle = key;
    base.templ = {num(CKA_CLASS, CKO_DATA), text(CKA_LABEL, "x")};
    Bytes valid;
    ASSERT_TRUE(dravenholt::wire::encodeRequest(base, valid));
    for (int i = 0; i < 3000; ++i) {
        Bytes input;
        if (i % 2 == 0) {
            input.resize(rng() % 64);
            for (uint8_t& b : input) b = uint8_t(rng());
            if (!input.empty()) input[0] = 0x08;  // mostly a plausible first field
            if (input.size() > 1) input[1] = uint8_t(rng() % 66);
        } else {
            input = valid;
            for (int flips = 1 + int(rng() % 4); flips > 0; --flips) input[rng() % input.size()] ^= uint8_t(1 << (rng() % 8));
        }
        Bytes reply = d.engine().process(input);
        ASSERT_FALSE(reply.empty());
        ASSERT_LE(reply.size(), 2048u);
        Response resp;
        ASSERT_TRUE(dravenholt::wire::decodeResponse(reply.data(), reply.size(), resp));
    }
    // Still a working token afterwards.
    EXPECT_EQ(d.call(kGetSessionInfo, s).rv, CKR_OK);
}

TEST(Robustness, ConcurrentSessionsDoNotDisturbEachOther) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, Bytes(16, 7), {flag(CKA_TOKEN, true)});
    Bytes expected = d.crypt(s, true, mech(CKM_AES_CBC_PAD, Bytes(16, 1)), key, Bytes(100, 3));
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            uint32_t own = d.open();
            for (int i = 0; i < 50; ++i) {
                Request init;
                init.function = kEncryptInit;
                init.session = own;
                init.mechanism = mech(CKM_AES_CBC_PAD, Bytes(16, 1));
                init.handle = key;
                Bytes encoded;
                dravenholt::wire::encodeRequest(init, encoded);
                Bytes reply = d.engine().process(encoded);
                Response resp;
                dravenholt::wire::decodeResponse(reply.data(), reply.size(), resp);
                Request run;
                run.function = kEncrypt;
                run.session = own;
                run.data = Bytes(100, 3);
                run.length = 200;
                dravenholt::wire::encodeRequest(run, encoded);
                reply = d.engine().process(encoded);
                dravenholt::wire::decodeResponse(reply.data(), reply.size(), resp);
                if (resp.rv != CKR_OK || resp.data != expected) ++failures;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(Random, BytesAreFreshAndSeedingIsAccepted) {
    Device d;
    uint32_t s = d.open(false);
    Request r;
    r.function = kGenerateRandom;
    r.session = s;
    r.length = 1024;
    std::set<Bytes> seen;
    for (int i = 0; i < 4; ++i) {
        Response resp = d.call(r);
        ASSERT_EQ(resp.rv, CKR_OK);
        ASSERT_EQ(resp.data->size(), 1024u);
        seen.insert(*resp.data);
    }
    EXPECT_EQ(seen.size(), 4u);
    Request seed;
    seed.function = kSeedRandom;
    seed.session = s;
    seed.data = Bytes(3000 / 2, 0xAB);
    EXPECT_EQ(d.call(seed).rv, CKR_OK);
    r.length = 0;
    EXPECT_EQ(d.call(r).rv, CKR_OK);
    r.length = 5000;
    EXPECT_EQ(d.call(r).rv, CKR_DATA_LEN_RANGE);
}
