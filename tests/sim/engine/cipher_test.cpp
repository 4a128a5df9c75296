// AES and DES modes against known answers and mbedtls used directly, single- and multi-part.
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

TEST(Aes, EcbKnownAnswerAndCbcAndCbcPadMatchMbedtlsForEveryKeySize) {
    Device d;
    uint32_t s = d.readyUserSession();
    // FIPS-197 appendix C.1.
    uint32_t kat = d.secretKey(s, CKK_AES, hex("000102030405060708090a0b0c0d0e0f"));
    Bytes ct = d.crypt(s, true, mech(CKM_AES_ECB), kat, hex("00112233445566778899aabbccddeeff"));
    EXPECT_EQ(toHex(ct), "69c4e0d86a7b0430d8cdb78070b4c55a");
    EXPECT_EQ(toHex(d.crypt(s, false, mech(CKM_AES_ECB), kat, ct)), "00112233445566778899aabbccddeeff");

    Bytes iv = pattern(16, 99);
    for (size_t keySize : {16, 24, 32}) {
        Bytes keyValue = pattern(keySize, uint8_t(keySize));
        uint32_t key = d.secretKey(s, CKK_AES, keyValue);
        Bytes plain = pattern(96);
        ct = d.crypt(s, true, mech(CKM_AES_CBC, iv), key, plain);
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

TEST(Aes, ErrorsEndTheOperation) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, pattern(16));
    ASSERT_EQ(d.rv(Call(kEncryptInit, s).mech(mech(CKM_AES_CBC, pattern(16))).handle(key)), CKR_OK);
    EXPECT_EQ(d.rv(Call(kEncrypt, s).data(pattern(15)).length(64)), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(d.rv(Call(kEncrypt, s).data(pattern(16)).length(64)), CKR_OPERATION_NOT_INITIALIZED);

    Bytes noPadding = d.crypt(s, true, mech(CKM_AES_CBC, pattern(16)), key, Bytes(16, 0));
    ASSERT_EQ(d.rv(Call(kDecryptInit, s).mech(mech(CKM_AES_CBC_PAD, pattern(16))).handle(key)), CKR_OK);
    EXPECT_EQ(d.rv(Call(kDecrypt, s).data(noPadding).length(64)), CKR_ENCRYPTED_DATA_INVALID);
    EXPECT_EQ(d.rv(Call(kDecrypt, s).data(noPadding).length(64)), CKR_OPERATION_NOT_INITIALIZED);
}

TEST(Des, SingleAndTripleDesKnownAnswers) {
    Device d;
    uint32_t s = d.readyUserSession();
    // FIPS 81 CBC example; the triple-DES answers come from the openssl command line.
    Bytes plain = toBytes("Now is the time for all "), iv = hex("1234567890abcdef");
    EXPECT_EQ(toHex(d.crypt(s, true, mech(CKM_DES_CBC, iv), d.secretKey(s, CKK_DES, hex("0123456789abcdef")), plain)),
              "e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6");
    uint32_t des3 = d.secretKey(s, CKK_DES3, hex("0123456789abcdeffedcba987654321089abcdef01234567"));
    Bytes ct = d.crypt(s, true, mech(CKM_DES3_CBC_PAD, iv), des3, plain);
    EXPECT_EQ(toHex(ct), "204011f986e35647199e47af391620c5bb9a5bcfc86db0bb374648322553e9ca");
    EXPECT_EQ(d.crypt(s, false, mech(CKM_DES3_CBC_PAD, iv), des3, ct), plain);
    EXPECT_EQ(toHex(d.crypt(s, true, mech(CKM_DES3_ECB), des3, toBytes("Now is t"))), "fbe62b683922941e");
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
