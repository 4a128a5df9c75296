// AES and DES modes against known answers and mbedtls used directly, single- and multi-part.
#include <mbedtls/des.h>

#include "harness.h"

using namespace simtest;
using simref::pattern;

namespace {

Bytes ctrParams(uint32_t bits, const Bytes& block) {
    Bytes p = le32(bits);
    p.insert(p.end(), block.begin(), block.end());
    return p;
}

// A multi-part operation with the input cut into `chunk`-sized parts.
Bytes multiPart(Device& d, uint32_t s, bool encrypt, const Mechanism& m, uint32_t key, const Bytes& in, size_t chunk) {
    EXPECT_EQ(d.rv(Call(encrypt ? kEncryptInit : kDecryptInit, s).mech(m).handle(key)), CKR_OK);
    Bytes out;
    auto append = [&out](const Response& r) {
        EXPECT_EQ(r.rv, CKR_OK);
        Bytes got = r.data.value_or(Bytes{});
        out.insert(out.end(), got.begin(), got.end());
    };
    for (size_t off = 0; off < in.size(); off += chunk) {
        Bytes part(in.begin() + long(off), in.begin() + long(std::min(in.size(), off + chunk)));
        append(d.call(Call(encrypt ? kEncryptUpdate : kDecryptUpdate, s).data(part).length(2048)));
    }
    append(d.call(Call(encrypt ? kEncryptFinal : kDecryptFinal, s).length(64)));
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
        EXPECT_EQ(ct, simref::aesCbc(keyValue, iv, plain));
        EXPECT_EQ(d.crypt(s, false, mech(CKM_AES_CBC, iv), key, ct), plain);
        Bytes odd = pattern(77);
        Bytes padded = d.crypt(s, true, mech(CKM_AES_CBC_PAD, iv), key, odd);
        EXPECT_EQ(padded, simref::aesCbc(keyValue, iv, simref::pkcs7(odd, 16)));
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
    Mechanism ctr = mech(CKM_AES_CTR, ctrParams(128, iv));
    EXPECT_EQ(multiPart(d, s, true, ctr, key, plain, 7), d.crypt(s, true, ctr, key, plain));
}

TEST(Aes, CtrMatchesMbedtlsAndRefusesACounterOverflow) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, pattern(16));
    Bytes block = hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
    Bytes plain = pattern(100);
    Bytes ct = d.crypt(s, true, mech(CKM_AES_CTR, ctrParams(128, block)), key, plain);
    EXPECT_EQ(ct, simref::aesCtr(pattern(16), block, plain));
    EXPECT_EQ(d.crypt(s, false, mech(CKM_AES_CTR, ctrParams(128, block)), key, ct), plain);
    // An 8-bit counter at 0xff has room for one block only.
    ASSERT_EQ(d.rv(Call(kEncryptInit, s).mech(mech(CKM_AES_CTR, ctrParams(8, block))).handle(key)), CKR_OK);
    EXPECT_EQ(d.rv(Call(kEncrypt, s).data(Bytes(17, 0)).length(100)), CKR_DATA_LEN_RANGE);
}

TEST(Aes, LengthQueryAndShortBufferLeaveTheOperationActive) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, pattern(16));
    Mechanism m = mech(CKM_AES_CBC_PAD, pattern(16, 3));
    ASSERT_EQ(d.rv(Call(kEncryptInit, s).mech(m).handle(key)), CKR_OK);
    EXPECT_EQ(d.rv(Call(kEncryptInit, s).mech(m).handle(key)), CKR_OPERATION_ACTIVE);
    Call update = Call(kEncryptUpdate, s).data(pattern(40));
    Response query = d.call(Call(update).lengthOnly().length(0));
    EXPECT_EQ(query.rv, CKR_OK);
    EXPECT_EQ(query.length, 32u);
    EXPECT_FALSE(query.data);
    EXPECT_EQ(d.rv(Call(update).length(16)), CKR_BUFFER_TOO_SMALL);
    Response part = d.call(Call(update).length(32));
    ASSERT_EQ(part.rv, CKR_OK);
    Response small = d.call(Call(kEncryptFinal, s).length(8));
    EXPECT_EQ(small.rv, CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.length, 16u);
    Response last = d.call(Call(kEncryptFinal, s).length(16));
    ASSERT_EQ(last.rv, CKR_OK);
    Bytes whole = *part.data;
    whole.insert(whole.end(), last.data->begin(), last.data->end());
    EXPECT_EQ(whole, d.crypt(s, true, m, key, pattern(40)));
    EXPECT_EQ(d.rv(Call(kEncryptFinal, s).length(16)), CKR_OPERATION_NOT_INITIALIZED);
}

TEST(Aes, ErrorsEndTheOperationAndInitChecksKeyAndParameters) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, pattern(16));
    ASSERT_EQ(d.rv(Call(kEncryptInit, s).mech(mech(CKM_AES_CBC, pattern(16))).handle(key)), CKR_OK);
    EXPECT_EQ(d.rv(Call(kEncrypt, s).data(pattern(15)).length(64)), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(d.rv(Call(kEncrypt, s).data(pattern(16)).length(64)), CKR_OPERATION_NOT_INITIALIZED);

    Bytes noPadding = d.crypt(s, true, mech(CKM_AES_CBC, pattern(16)), key, Bytes(16, 0));
    ASSERT_EQ(d.rv(Call(kDecryptInit, s).mech(mech(CKM_AES_CBC_PAD, pattern(16))).handle(key)), CKR_OK);
    EXPECT_EQ(d.rv(Call(kDecrypt, s).data(noPadding).length(64)), CKR_ENCRYPTED_DATA_INVALID);

    Call init = Call(kDecryptInit, s).handle(key);
    EXPECT_EQ(d.rv(Call(init).mech(mech(CKM_AES_CBC, pattern(8)))), CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(d.rv(Call(init).mech(mech(CKM_DES_ECB))), CKR_KEY_TYPE_INCONSISTENT);
    uint32_t noDecrypt = d.secretKey(s, CKK_AES, pattern(16), {flag(CKA_DECRYPT, false)});
    EXPECT_EQ(d.rv(Call(init).mech(mech(CKM_AES_ECB)).handle(noDecrypt)), CKR_KEY_FUNCTION_NOT_PERMITTED);
}

TEST(Des, SingleAndTripleDesMatchMbedtls) {
    Device d;
    uint32_t s = d.readyUserSession();
    Bytes iv = pattern(8, 77), plain = pattern(64);
    Bytes desKey = hex("0123456789abcdef");
    mbedtls_des_context dctx;
    mbedtls_des_init(&dctx);
    mbedtls_des_setkey_enc(&dctx, desKey.data());
    Bytes expected(plain.size()), chain = iv;
    mbedtls_des_crypt_cbc(&dctx, MBEDTLS_DES_ENCRYPT, plain.size(), chain.data(), plain.data(), expected.data());
    mbedtls_des_free(&dctx);
    EXPECT_EQ(d.crypt(s, true, mech(CKM_DES_CBC, iv), d.secretKey(s, CKK_DES, desKey), plain), expected);

    Bytes key3 = pattern(24, 40), part(plain.begin(), plain.begin() + 61);
    uint32_t des3 = d.secretKey(s, CKK_DES3, key3);
    mbedtls_des3_context tctx;
    mbedtls_des3_init(&tctx);
    mbedtls_des3_set3key_enc(&tctx, key3.data());
    Bytes padded = simref::pkcs7(part, 8), ecb(8);
    expected.assign(padded.size(), 0);
    chain = iv;
    mbedtls_des3_crypt_cbc(&tctx, MBEDTLS_DES_ENCRYPT, padded.size(), chain.data(), padded.data(), expected.data());
    mbedtls_des3_crypt_ecb(&tctx, plain.data(), ecb.data());
    mbedtls_des3_free(&tctx);
    Bytes ct = d.crypt(s, true, mech(CKM_DES3_CBC_PAD, iv), des3, part);
    EXPECT_EQ(ct, expected);
    EXPECT_EQ(d.crypt(s, false, mech(CKM_DES3_CBC_PAD, iv), des3, ct), part);
    EXPECT_EQ(d.crypt(s, true, mech(CKM_DES3_ECB), des3, Bytes(plain.begin(), plain.begin() + 8)), ecb);
}

TEST(KeyGen, DesKeysHaveOddParityAndAesKeysTheirLength) {
    Device d;
    uint32_t s = d.readyUserSession();
    for (auto [mechanism, length] : {std::pair{CKM_DES_KEY_GEN, 8u}, {CKM_DES2_KEY_GEN, 16u}, {CKM_DES3_KEY_GEN, 24u}}) {
        Response r = d.call(Call(kGenerateKey, s).mech(mech(mechanism)).templ({flag(CKA_SENSITIVE, false)}));
        ASSERT_EQ(r.rv, CKR_OK);
        Bytes value = d.attribute(s, *r.handle, CKA_VALUE);
        ASSERT_EQ(value.size(), length);
        for (uint8_t b : value) EXPECT_EQ(__builtin_popcount(b) % 2, 1);
        EXPECT_EQ(d.attribute(s, *r.handle, CKA_LOCAL), Bytes{1});
        EXPECT_EQ(d.attribute(s, *r.handle, CKA_KEY_GEN_MECHANISM), le32(mechanism));
    }
    Call aes = Call(kGenerateKey, s).mech(mech(CKM_AES_KEY_GEN));
    EXPECT_EQ(d.rv(aes), CKR_TEMPLATE_INCOMPLETE);
    EXPECT_EQ(d.rv(Call(aes).templ({num(CKA_VALUE_LEN, 20)})), CKR_ATTRIBUTE_VALUE_INVALID);
    Response r = d.call(Call(aes).templ({num(CKA_VALUE_LEN, 32), flag(CKA_EXTRACTABLE, false)}));
    ASSERT_EQ(r.rv, CKR_OK);
    EXPECT_EQ(d.attribute(s, *r.handle, CKA_ALWAYS_SENSITIVE), Bytes{1});
    EXPECT_EQ(d.attribute(s, *r.handle, CKA_NEVER_EXTRACTABLE), Bytes{1});
    EXPECT_EQ(d.attribute(s, *r.handle, CKA_VALUE_LEN), le32(32));
}
