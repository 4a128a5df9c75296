// AES and DES modes against known answers and mbedtls used directly, single- and multi-part.
#include <mbedtls/aes.h>
#include <mbedtls/des.h>

#include "harness.h"

using namespace simtest;

namespace {

Bytes pattern(size_t n, uint8_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 13 + seed);
    return b;
}

Bytes aesCbcDirect(const Bytes& key, Bytes iv, const Bytes& in) {
    mbedtls_aes_context ctx;
    mbedtls_aes_init(&ctx);
    mbedtls_aes_setkey_enc(&ctx, key.data(), unsigned(key.size() * 8));
    Bytes out(in.size());
    mbedtls_aes_crypt_cbc(&ctx, MBEDTLS_AES_ENCRYPT, in.size(), iv.data(), in.data(), out.data());
    mbedtls_aes_free(&ctx);
    return out;
}

Bytes pkcs7(Bytes in, size_t block) {
    uint8_t pad = uint8_t(block - in.size() % block);
    in.insert(in.end(), pad, pad);
    return in;
}

// Runs a multi-part operation with the input cut into `chunk`-sized parts.
Bytes multiPart(Device& d, uint32_t s, bool encrypt, const Mechanism& m, uint32_t key, const Bytes& in, size_t chunk) {
    Request init;
    init.function = encrypt ? kEncryptInit : kDecryptInit;
    init.session = s;
    init.mechanism = m;
    init.handle = key;
    EXPECT_EQ(d.call(init).rv, CKR_OK);
    Bytes out;
    for (size_t off = 0; off < in.size(); off += chunk) {
        Request part;
        part.function = encrypt ? kEncryptUpdate : kDecryptUpdate;
        part.session = s;
        part.data = Bytes(in.begin() + long(off), in.begin() + long(std::min(in.size(), off + chunk)));
        part.length = 2048;
        Response r = d.call(part);
        EXPECT_EQ(r.rv, CKR_OK);
        Bytes got = r.data.value_or(Bytes{});
        out.insert(out.end(), got.begin(), got.end());
    }
    Request fin;
    fin.function = encrypt ? kEncryptFinal : kDecryptFinal;
    fin.session = s;
    fin.length = 64;
    Response r = d.call(fin);
    EXPECT_EQ(r.rv, CKR_OK);
    Bytes got = r.data.value_or(Bytes{});
    out.insert(out.end(), got.begin(), got.end());
    return out;
}

}  // namespace

TEST(Aes, EcbKnownAnswer) {
    // FIPS-197 appendix C.1.
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, hex("000102030405060708090a0b0c0d0e0f"));
    Bytes ct = d.crypt(s, true, mech(CKM_AES_ECB), key, hex("00112233445566778899aabbccddeeff"));
    EXPECT_EQ(toHex(ct), "69c4e0d86a7b0430d8cdb78070b4c55a");
    EXPECT_EQ(toHex(d.crypt(s, false, mech(CKM_AES_ECB), key, ct)), "00112233445566778899aabbccddeeff");
}

TEST(Aes, CbcAndCbcPadMatchMbedtlsForEveryKeySize) {
    Device d;
    uint32_t s = d.readyUserSession();
    Bytes iv = pattern(16, 99);
    for (size_t keySize : {16, 24, 32}) {
        Bytes keyValue = pattern(keySize, uint8_t(keySize));
        uint32_t key = d.secretKey(s, CKK_AES, keyValue);
        Bytes plain = pattern(96);
        Bytes ct = d.crypt(s, true, mech(CKM_AES_CBC, iv), key, plain);
        EXPECT_EQ(ct, aesCbcDirect(keyValue, iv, plain));
        EXPECT_EQ(d.crypt(s, false, mech(CKM_AES_CBC, iv), key, ct), plain);

        Bytes odd = pattern(77);
        Bytes padded = d.crypt(s, true, mech(CKM_AES_CBC_PAD, iv), key, odd);
        EXPECT_EQ(padded, aesCbcDirect(keyValue, iv, pkcs7(odd, 16)));
        EXPECT_EQ(d.crypt(s, false, mech(CKM_AES_CBC_PAD, iv), key, padded), odd);
    }
}

TEST(Aes, MultiPartEqualsSinglePartWhateverTheCuts) {
    Device d;
    uint32_t s = d.readyUserSession();
    Bytes iv = pattern(16, 5);
    uint32_t key = d.secretKey(s, CKK_AES, pattern(32));
    Bytes plain = pattern(1000);
    Bytes single = d.crypt(s, true, mech(CKM_AES_CBC_PAD, iv), key, plain);
    for (size_t chunk : {1, 15, 16, 17, 333}) {
        EXPECT_EQ(multiPart(d, s, true, mech(CKM_AES_CBC_PAD, iv), key, plain, chunk), single) << chunk;
        EXPECT_EQ(multiPart(d, s, false, mech(CKM_AES_CBC_PAD, iv), key, single, chunk), plain) << chunk;
    }
    Bytes ctr = d.crypt(s, true, mech(CKM_AES_CTR, [&] {
                            Bytes p = le32(128);
                            p.insert(p.end(), iv.begin(), iv.end());
                            return p;
                        }()),
                        key, plain);
    Bytes p = le32(128);
    p.insert(p.end(), iv.begin(), iv.end());
    EXPECT_EQ(multiPart(d, s, true, mech(CKM_AES_CTR, p), key, plain, 7), ctr);
}

TEST(Aes, CtrMatchesMbedtlsAndRefusesACounterOverflow) {
    Device d;
    uint32_t s = d.readyUserSession();
    Bytes keyValue = pattern(16);
    uint32_t key = d.secretKey(s, CKK_AES, keyValue);
    Bytes block = hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
    Bytes params = le32(128);
    params.insert(params.end(), block.begin(), block.end());
    Bytes plain = pattern(100);
    Bytes ct = d.crypt(s, true, mech(CKM_AES_CTR, params), key, plain);

    mbedtls_aes_context ctx;
    mbedtls_aes_init(&ctx);
    mbedtls_aes_setkey_enc(&ctx, keyValue.data(), 128);
    Bytes expected(plain.size());
    unsigned char counter[16], stream[16];
    std::copy(block.begin(), block.end(), counter);
    size_t off = 0;
    mbedtls_aes_crypt_ctr(&ctx, plain.size(), &off, counter, stream, plain.data(), expected.data());
    mbedtls_aes_free(&ctx);
    EXPECT_EQ(ct, expected);
    EXPECT_EQ(d.crypt(s, false, mech(CKM_AES_CTR, params), key, ct), plain);

    // An 8-bit counter at 0xff has room for one block only.
    Bytes narrow = le32(8);
    narrow.insert(narrow.end(), block.begin(), block.end());
    Request init;
    init.function = kEncryptInit;
    init.session = s;
    init.mechanism = mech(CKM_AES_CTR, narrow);
    init.handle = key;
    ASSERT_EQ(d.call(init).rv, CKR_OK);
    Request run;
    run.function = kEncrypt;
    run.session = s;
    run.data = Bytes(17, 0);
    run.length = 100;
    EXPECT_EQ(d.call(run).rv, CKR_DATA_LEN_RANGE);
}

TEST(Aes, LengthQueryAndShortBufferLeaveTheOperationActive) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, pattern(16));
    Bytes iv = pattern(16, 3);
    Request init;
    init.function = kEncryptInit;
    init.session = s;
    init.mechanism = mech(CKM_AES_CBC_PAD, iv);
    init.handle = key;
    ASSERT_EQ(d.call(init).rv, CKR_OK);
    EXPECT_EQ(d.call(init).rv, CKR_OPERATION_ACTIVE);

    Request update;
    update.function = kEncryptUpdate;
    update.session = s;
    update.data = pattern(40);
    update.lengthOnly = true;
    update.length = 0;
    Response query = d.call(update);
    EXPECT_EQ(query.rv, CKR_OK);
    EXPECT_EQ(query.length, 32u);
    EXPECT_FALSE(query.data);
    update.lengthOnly.reset();
    update.length = 16;
    EXPECT_EQ(d.call(update).rv, CKR_BUFFER_TOO_SMALL);
    update.length = 32;
    Response part = d.call(update);
    ASSERT_EQ(part.rv, CKR_OK);
    Request fin;
    fin.function = kEncryptFinal;
    fin.session = s;
    fin.length = 8;
    Response small = d.call(fin);
    EXPECT_EQ(small.rv, CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.length, 16u);
    fin.length = 16;
    Response last = d.call(fin);
    ASSERT_EQ(last.rv, CKR_OK);
    Bytes whole = *part.data;
    whole.insert(whole.end(), last.data->begin(), last.data->end());
    EXPECT_EQ(whole, d.crypt(s, true, mech(CKM_AES_CBC_PAD, iv), key, pattern(40)));
    EXPECT_EQ(d.call(fin).rv, CKR_OPERATION_NOT_INITIALIZED);
}

TEST(Aes, ErrorsEndTheOperation) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, pattern(16));
    Request init;
    init.function = kEncryptInit;
    init.session = s;
    init.mechanism = mech(CKM_AES_CBC, pattern(16));
    init.handle = key;
    ASSERT_EQ(d.call(init).rv, CKR_OK);
    Request run;
    run.function = kEncrypt;
    run.session = s;
    run.data = pattern(15);
    run.length = 64;
    EXPECT_EQ(d.call(run).rv, CKR_DATA_LEN_RANGE);
    EXPECT_EQ(d.call(run).rv, CKR_OPERATION_NOT_INITIALIZED);

    init.function = kDecryptInit;
    init.mechanism = mech(CKM_AES_CBC_PAD, pattern(16));
    ASSERT_EQ(d.call(init).rv, CKR_OK);
    run.function = kDecrypt;
    run.data = d.crypt(s, true, mech(CKM_AES_CBC, pattern(16)), key, Bytes(16, 0));  // no valid padding
    init.function = kDecryptInit;
    EXPECT_EQ(d.call(run).rv, CKR_ENCRYPTED_DATA_INVALID);

    init.mechanism = mech(CKM_AES_CBC, pattern(8));
    EXPECT_EQ(d.call(init).rv, CKR_MECHANISM_PARAM_INVALID);
    init.mechanism = mech(CKM_DES_ECB);
    EXPECT_EQ(d.call(init).rv, CKR_KEY_TYPE_INCONSISTENT);
    uint32_t noDecrypt = d.secretKey(s, CKK_AES, pattern(16), {flag(CKA_DECRYPT, false)});
    init.mechanism = mech(CKM_AES_ECB);
    init.handle = noDecrypt;
    EXPECT_EQ(d.call(init).rv, CKR_KEY_FUNCTION_NOT_PERMITTED);
}

TEST(Des, SingleAndTripleDesMatchMbedtls) {
    Device d;
    uint32_t s = d.readyUserSession();
    Bytes iv = pattern(8, 77);
    Bytes plain = pattern(64);

    Bytes desKey = hex("0123456789abcdef");
    uint32_t des = d.secretKey(s, CKK_DES, desKey);
    mbedtls_des_context dctx;
    mbedtls_des_init(&dctx);
    mbedtls_des_setkey_enc(&dctx, desKey.data());
    Bytes expected(plain.size());
    Bytes chain = iv;
    mbedtls_des_crypt_cbc(&dctx, MBEDTLS_DES_ENCRYPT, plain.size(), chain.data(), plain.data(), expected.data());
    mbedtls_des_free(&dctx);
    EXPECT_EQ(d.crypt(s, true, mech(CKM_DES_CBC, iv), des, plain), expected);

    Bytes key3 = pattern(24, 40);
    uint32_t des3 = d.secretKey(s, CKK_DES3, key3);
    mbedtls_des3_context tctx;
    mbedtls_des3_init(&tctx);
    mbedtls_des3_set3key_enc(&tctx, key3.data());
    Bytes padded = pkcs7(Bytes(plain.begin(), plain.begin() + 61), 8);
    expected.assign(padded.size(), 0);
    chain = iv;
    mbedtls_des3_crypt_cbc(&tctx, MBEDTLS_DES_ENCRYPT, padded.size(), chain.data(), padded.data(), expected.data());
    Bytes ecbExpected(8);
    mbedtls_des3_crypt_ecb(&tctx, plain.data(), ecbExpected.data());
    mbedtls_des3_free(&tctx);
    Bytes ct = d.crypt(s, true, mech(CKM_DES3_CBC_PAD, iv), des3, Bytes(plain.begin(), plain.begin() + 61));
    EXPECT_EQ(ct, expected);
    EXPECT_EQ(d.crypt(s, false, mech(CKM_DES3_CBC_PAD, iv), des3, ct), Bytes(plain.begin(), plain.begin() + 61));
    EXPECT_EQ(d.crypt(s, true, mech(CKM_DES3_ECB), des3, Bytes(plain.begin(), plain.begin() + 8)), ecbExpected);
}

TEST(Des, GeneratedKeysHaveOddParityAndTheRightLength) {
    Device d;
    uint32_t s = d.readyUserSession();
    for (auto [mechanism, length] : {std::pair{CKM_DES_KEY_GEN, 8u}, {CKM_DES2_KEY_GEN, 16u}, {CKM_DES3_KEY_GEN, 24u}}) {
        Request gen;
        gen.function = kGenerateKey;
        gen.session = s;
        gen.mechanism = mech(mechanism);
        gen.templ = {flag(CKA_SENSITIVE, false)};
        Response r = d.call(gen);
        ASSERT_EQ(r.rv, CKR_OK);
        Bytes value = d.attribute(s, *r.handle, CKA_VALUE);
        ASSERT_EQ(value.size(), length);
        for (uint8_t b : value) EXPECT_EQ(__builtin_popcount(b) % 2, 1);
        EXPECT_EQ(d.attribute(s, *r.handle, CKA_LOCAL), Bytes{1});
        EXPECT_EQ(d.attribute(s, *r.handle, CKA_KEY_GEN_MECHANISM), le32(mechanism));
    }
}

TEST(Aes, GenerateKeyNeedsALengthAndSetsTheHistory) {
    Device d;
    uint32_t s = d.readyUserSession();
    Request gen;
    gen.function = kGenerateKey;
    gen.session = s;
    gen.mechanism = mech(CKM_AES_KEY_GEN);
    EXPECT_EQ(d.call(gen).rv, CKR_TEMPLATE_INCOMPLETE);
    gen.templ = {num(CKA_VALUE_LEN, 20)};
    EXPECT_EQ(d.call(gen).rv, CKR_ATTRIBUTE_VALUE_INVALID);
    gen.templ = {num(CKA_VALUE_LEN, 32), flag(CKA_EXTRACTABLE, false)};
    Response r = d.call(gen);
    ASSERT_EQ(r.rv, CKR_OK);
    EXPECT_EQ(d.attribute(s, *r.handle, CKA_ALWAYS_SENSITIVE), Bytes{1});
    EXPECT_EQ(d.attribute(s, *r.handle, CKA_NEVER_EXTRACTABLE), Bytes{1});
    EXPECT_EQ(d.attribute(s, *r.handle, CKA_VALUE_LEN), le32(32));
}
