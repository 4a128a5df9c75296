// Digests, HMACs and CMAC against known answers and mbedtls used directly.
#include <mbedtls/cmac.h>
#include <mbedtls/md.h>

#include "harness.h"

using namespace simtest;

namespace {

Bytes mdDirect(mbedtls_md_type_t type, const Bytes& data, const Bytes* key = nullptr) {
    const mbedtls_md_info_t* info = mbedtls_md_info_from_type(type);
    Bytes out(mbedtls_md_get_size(info));
    if (key)
        mbedtls_md_hmac(info, key->data(), key->size(), data.data(), data.size(), out.data());
    else
        mbedtls_md(info, data.data(), data.size(), out.data());
    return out;
}

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

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 31 + 7);
    return b;
}

}  // namespace

TEST(Digest, KnownAnswers) {
    Device d;
    uint32_t s = d.open();
    EXPECT_EQ(toHex(d.digest(s, mech(CKM_SHA256), toBytes("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(toHex(d.digest(s, mech(CKM_MD5), toBytes("abc"))), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(toHex(d.digest(s, mech(CKM_SHA_1), toBytes("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Digest, EveryHashSingleAndMultiPartMatchesMbedtls) {
    Device d;
    uint32_t s = d.open();
    Bytes data = pattern(5000);
    for (const HashCase& h : kHashes) {
        Bytes expected = mdDirect(h.md, data);
        EXPECT_EQ(d.digest(s, mech(h.digest), data), expected) << h.digest;
        Request init;
        init.function = kDigestInit;
        init.session = s;
        init.mechanism = mech(h.digest);
        ASSERT_EQ(d.call(init).rv, CKR_OK);
        for (size_t off = 0; off < data.size(); off += 2000) {
            Request part;
            part.function = kDigestUpdate;
            part.session = s;
            part.data = Bytes(data.begin() + long(off), data.begin() + long(std::min(data.size(), off + 2000)));
            ASSERT_EQ(d.call(part).rv, CKR_OK);
        }
        Request fin;
        fin.function = kDigestFinal;
        fin.session = s;
        fin.length = 64;
        EXPECT_EQ(d.call(fin).data, expected);
    }
}

TEST(Digest, LengthQueryAndShortBufferKeepTheOperation) {
    Device d;
    uint32_t s = d.open();
    Request init;
    init.function = kDigestInit;
    init.session = s;
    init.mechanism = mech(CKM_SHA384);
    ASSERT_EQ(d.call(init).rv, CKR_OK);
    EXPECT_EQ(d.call(init).rv, CKR_OPERATION_ACTIVE);
    Request fin;
    fin.function = kDigestFinal;
    fin.session = s;
    fin.lengthOnly = true;
    Response query = d.call(fin);
    EXPECT_EQ(query.rv, CKR_OK);
    EXPECT_EQ(query.length, 48u);
    EXPECT_FALSE(query.data);
    fin.lengthOnly.reset();
    fin.length = 20;
    Response small = d.call(fin);
    EXPECT_EQ(small.rv, CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.length, 48u);
    fin.length = 48;
    EXPECT_EQ(d.call(fin).data, mdDirect(MBEDTLS_MD_SHA384, {}));
    EXPECT_EQ(d.call(fin).rv, CKR_OPERATION_NOT_INITIALIZED);
}

TEST(Digest, DigestKeyHashesTheKeyValue) {
    Device d;
    uint32_t s = d.readyUserSession();
    Bytes value = pattern(32);
    uint32_t key = d.secretKey(s, CKK_AES, value);
    Request init;
    init.function = kDigestInit;
    init.session = s;
    init.mechanism = mech(CKM_SHA256);
    ASSERT_EQ(d.call(init).rv, CKR_OK);
    Request dk;
    dk.function = kDigestKey;
    dk.session = s;
    dk.handle = key;
    ASSERT_EQ(d.call(dk).rv, CKR_OK);
    Request fin;
    fin.function = kDigestFinal;
    fin.session = s;
    fin.length = 32;
    EXPECT_EQ(d.call(fin).data, mdDirect(MBEDTLS_MD_SHA256, value));
}

TEST(Digest, UnknownMechanismIsRefused) {
    Device d;
    uint32_t s = d.open();
    Request init;
    init.function = kDigestInit;
    init.session = s;
    init.mechanism = mech(CKM_RIPEMD160);
    EXPECT_EQ(d.call(init).rv, CKR_MECHANISM_INVALID);
}

TEST(Hmac, EveryHashSignsAndVerifiesLikeMbedtls) {
    Device d;
    uint32_t s = d.readyUserSession();
    Bytes keyValue = pattern(40);
    uint32_t key = d.secretKey(s, CKK_GENERIC_SECRET, keyValue);
    Bytes data = pattern(1500);
    for (const HashCase& h : kHashes) {
        Bytes expected = mdDirect(h.md, data, &keyValue);
        EXPECT_EQ(d.signData(s, mech(h.hmac), key, data), expected) << h.hmac;
        EXPECT_EQ(d.verifyData(s, mech(h.hmac), key, data, expected), CKR_OK);
        Bytes bad = expected;
        bad[0] ^= 1;
        EXPECT_EQ(d.verifyData(s, mech(h.hmac), key, data, bad), CKR_SIGNATURE_INVALID);
        EXPECT_EQ(d.verifyData(s, mech(h.hmac), key, data, Bytes(expected.begin(), expected.end() - 1)),
                  CKR_SIGNATURE_LEN_RANGE);
    }
}

TEST(Hmac, MultiPartSignatureEqualsSinglePart) {
    Device d;
    uint32_t s = d.readyUserSession();
    Bytes keyValue = pattern(32);
    uint32_t key = d.secretKey(s, CKK_GENERIC_SECRET, keyValue);
    Bytes data = pattern(4500);
    Request init;
    init.function = kSignInit;
    init.session = s;
    init.mechanism = mech(CKM_SHA256_HMAC);
    init.handle = key;
    ASSERT_EQ(d.call(init).rv, CKR_OK);
    for (size_t off = 0; off < data.size(); off += 2000) {
        Request part;
        part.function = kSignUpdate;
        part.session = s;
        part.data = Bytes(data.begin() + long(off), data.begin() + long(std::min(data.size(), off + 2000)));
        ASSERT_EQ(d.call(part).rv, CKR_OK);
    }
    Response fin = d.call(kSignFinal, s);
    EXPECT_EQ(fin.rv, CKR_OK);
    EXPECT_EQ(fin.data, mdDirect(MBEDTLS_MD_SHA256, data, &keyValue));
}

TEST(Hmac, SignBufferTooSmallKeepsTheOperation) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_GENERIC_SECRET, pattern(16));
    Request init;
    init.function = kSignInit;
    init.session = s;
    init.mechanism = mech(CKM_SHA512_HMAC);
    init.handle = key;
    ASSERT_EQ(d.call(init).rv, CKR_OK);
    Request sign;
    sign.function = kSign;
    sign.session = s;
    sign.data = toBytes("message");
    sign.length = 10;
    Response small = d.call(sign);
    EXPECT_EQ(small.rv, CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.length, 64u);
    sign.length = 64;
    Bytes keyValue = pattern(16);
    EXPECT_EQ(d.call(sign).data, mdDirect(MBEDTLS_MD_SHA512, toBytes("message"), &keyValue));
    EXPECT_EQ(d.call(sign).rv, CKR_OPERATION_NOT_INITIALIZED);
}

TEST(Hmac, KeyWithoutSignPermissionIsRefused) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_GENERIC_SECRET, pattern(16), {flag(CKA_SIGN, false)});
    Request init;
    init.function = kSignInit;
    init.session = s;
    init.mechanism = mech(CKM_SHA256_HMAC);
    init.handle = key;
    EXPECT_EQ(d.call(init).rv, CKR_KEY_FUNCTION_NOT_PERMITTED);
    init.mechanism = mech(CKM_AES_CMAC);
    EXPECT_EQ(d.call(init).rv, CKR_KEY_TYPE_INCONSISTENT);
}

TEST(Cmac, AesCmacMatchesTheStandardVector) {
    // RFC 4493 example 2: AES-128 key, 16-byte message.
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, hex("2b7e151628aed2a6abf7158809cf4f3c"));
    Bytes mac = d.signData(s, mech(CKM_AES_CMAC), key, hex("6bc1bee22e409f96e93d7e117393172a"));
    EXPECT_EQ(toHex(mac), "070a16b46b4d4144f79bdd9dd04a287c");
    EXPECT_EQ(d.verifyData(s, mech(CKM_AES_CMAC), key, hex("6bc1bee22e409f96e93d7e117393172a"), mac), CKR_OK);
}
