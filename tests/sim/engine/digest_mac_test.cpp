// Digests, HMACs and CMAC against known answers and mbedtls used directly.
#include "harness.h"

using namespace simtest;
using simref::pattern;

namespace {

struct HashCase {
    uint32_t digest;
    uint32_t hmac;
    mbedtls_md_type_t md;
};

const HashCase kHashes[] = {
    {CKM_MD5, CKM_MD5_HMAC, MBEDTLS_MD_MD5},          {CKM_SHA_1, CKM_SHA_1_HMAC, MBEDTLS_MD_SHA1},
    {CKM_SHA224, CKM_SHA224_HMAC, MBEDTLS_MD_SHA224}, {CKM_SHA256, CKM_SHA256_HMAC, MBEDTLS_MD_SHA256},
    {CKM_SHA384, CKM_SHA384_HMAC, MBEDTLS_MD_SHA384}, {CKM_SHA512, CKM_SHA512_HMAC, MBEDTLS_MD_SHA512},
};

}  // namespace

TEST(Digest, KnownAnswerAndEveryHashOverSeveralPiecesMatchesMbedtls) {
    Device d;
    uint32_t s = d.readyUserSession();
    EXPECT_EQ(toHex(d.digest(s, mech(CKM_SHA256), toBytes("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    Bytes data = pattern(5000);
    for (const HashCase& h : kHashes) EXPECT_EQ(d.digest(s, mech(h.digest), data), simref::md(h.md, data)) << h.digest;
    EXPECT_EQ(d.rv(Call(kDigestInit, s).mech(mech(CKM_RIPEMD160))), CKR_MECHANISM_INVALID);
    // DigestKey hashes the key's value.
    uint32_t key = d.secretKey(s, CKK_AES, pattern(32));
    ASSERT_EQ(d.rv(Call(kDigestInit, s).mech(mech(CKM_SHA256))), CKR_OK);
    ASSERT_EQ(d.rv(Call(kDigestKey, s).handle(key)), CKR_OK);
    EXPECT_EQ(d.call(Call(kDigestFinal, s).length(32)).data, simref::md(MBEDTLS_MD_SHA256, pattern(32)));
}

TEST(Hmac, EveryHashSignsAndVerifiesLikeMbedtlsInOneOrSeveralParts) {
    Device d;
    uint32_t s = d.readyUserSession();
    Bytes keyValue = pattern(40);
    uint32_t key = d.secretKey(s, CKK_GENERIC_SECRET, keyValue);
    Bytes data = pattern(1500);
    for (const HashCase& h : kHashes) {
        Bytes expected = simref::hmac(h.md, keyValue, data);
        EXPECT_EQ(d.signData(s, mech(h.hmac), key, data), expected) << h.hmac;
        EXPECT_EQ(d.verifyData(s, mech(h.hmac), key, data, expected), CKR_OK);
        Bytes bad = expected;
        bad[0] ^= 1;
        EXPECT_EQ(d.verifyData(s, mech(h.hmac), key, data, bad), CKR_SIGNATURE_INVALID);
        bad.pop_back();
        EXPECT_EQ(d.verifyData(s, mech(h.hmac), key, data, bad), CKR_SIGNATURE_LEN_RANGE);
    }
    // In pieces, as the library sends long data.
    ASSERT_EQ(d.rv(Call(kSignInit, s).mech(mech(CKM_SHA256_HMAC)).handle(key)), CKR_OK);
    for (size_t off = 0; off < data.size(); off += 700)
        ASSERT_EQ(d.rv(Call(kSignUpdate, s).data(Bytes(data.begin() + long(off), data.begin() + long(std::min(data.size(), off + 700))))),
                  CKR_OK);
    EXPECT_EQ(d.call(Call(kSignFinal, s)).data, simref::hmac(MBEDTLS_MD_SHA256, keyValue, data));
}

TEST(Cmac, AesCmacMatchesTheStandardVector) {
    // RFC 4493 example 2: AES-128 key, 16-byte message.
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, hex("2b7e151628aed2a6abf7158809cf4f3c"));
    Bytes message = hex("6bc1bee22e409f96e93d7e117393172a");
    Bytes mac = d.signData(s, mech(CKM_AES_CMAC), key, message);
    EXPECT_EQ(toHex(mac), "070a16b46b4d4144f79bdd9dd04a287c");
    EXPECT_EQ(d.verifyData(s, mech(CKM_AES_CMAC), key, message, mac), CKR_OK);
}
