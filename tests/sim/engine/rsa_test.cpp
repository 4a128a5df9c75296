// RSA: key generation, import, PKCS#1 v1.5, PSS, OAEP and raw operations, checked against
// mbedtls used directly and against the openssl command line.
#include <cstdlib>
#include <fstream>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>

#include "harness.h"

using namespace simtest;

namespace {

// A test-side RSA key made by mbedtls, so both sides of every check are known.
class TestKey {
public:
    explicit TestKey(unsigned bits) {
        mbedtls_entropy_init(&entropy_);
        mbedtls_ctr_drbg_init(&drbg_);
        mbedtls_ctr_drbg_seed(&drbg_, mbedtls_entropy_func, &entropy_, nullptr, 0);
        mbedtls_rsa_init(&rsa_, MBEDTLS_RSA_PKCS_V15, 0);
        EXPECT_EQ(mbedtls_rsa_gen_key(&rsa_, mbedtls_ctr_drbg_random, &drbg_, bits, 65537), 0);
    }
    ~TestKey() {
        mbedtls_rsa_free(&rsa_);
        mbedtls_ctr_drbg_free(&drbg_);
        mbedtls_entropy_free(&entropy_);
    }
    Bytes part(int which) const {  // 0 N, 1 E, 2 D
        mbedtls_mpi n, e, d;
        mbedtls_mpi_init(&n), mbedtls_mpi_init(&e), mbedtls_mpi_init(&d);
        mbedtls_rsa_export(&rsa_, &n, nullptr, nullptr, &d, &e);
        mbedtls_mpi* m = which == 0 ? &n : which == 1 ? &e : &d;
        Bytes out(mbedtls_mpi_size(m));
        mbedtls_mpi_write_binary(m, out.data(), out.size());
        mbedtls_mpi_free(&n), mbedtls_mpi_free(&e), mbedtls_mpi_free(&d);
        return out;
    }
    mbedtls_rsa_context* rsa() { return &rsa_; }
    mbedtls_ctr_drbg_context* drbg() { return &drbg_; }

private:
    mbedtls_entropy_context entropy_;
    mbedtls_ctr_drbg_context drbg_;
    mbedtls_rsa_context rsa_;
};

// A public-key context from the modulus and exponent the engine reports.
struct PublicKey {
    PublicKey(const Bytes& n, const Bytes& e) {
        mbedtls_rsa_init(&rsa, MBEDTLS_RSA_PKCS_V15, 0);
        mbedtls_rsa_import_raw(&rsa, n.data(), n.size(), nullptr, 0, nullptr, 0, nullptr, 0, e.data(), e.size());
        mbedtls_rsa_complete(&rsa);
    }
    ~PublicKey() { mbedtls_rsa_free(&rsa); }
    mbedtls_rsa_context rsa;
};

Bytes sha(mbedtls_md_type_t type, const Bytes& data) {
    const mbedtls_md_info_t* info = mbedtls_md_info_from_type(type);
    Bytes out(mbedtls_md_get_size(info));
    mbedtls_md(info, data.data(), data.size(), out.data());
    return out;
}

Bytes pssParams(uint32_t hash, uint32_t mgf, uint32_t salt) {
    Bytes p = le32(hash);
    for (uint32_t v : {mgf, salt}) {
        Bytes b = le32(v);
        p.insert(p.end(), b.begin(), b.end());
    }
    return p;
}

Mechanism oaep(uint32_t hash, uint32_t mgf, const Bytes& label) {
    Mechanism m;
    m.mechanism = CKM_RSA_PKCS_OAEP;
    dravenholt::wire::OaepParams p;
    p.hashAlg = hash;
    p.mgf = mgf;
    p.source = CKZ_DATA_SPECIFIED;
    if (!label.empty()) {
        p.sourceDataLength = uint32_t(label.size());
        p.sourceData = label;
    }
    m.oaepParams = p;
    return m;
}

struct Imported {
    uint32_t pub;
    uint32_t priv;
};

Imported import(Device& d, uint32_t s, TestKey& key) {
    uint32_t pub = d.create(s, {num(CKA_CLASS, CKO_PUBLIC_KEY), num(CKA_KEY_TYPE, CKK_RSA), bytes(CKA_MODULUS, key.part(0)),
                                bytes(CKA_PUBLIC_EXPONENT, key.part(1))});
    // Only n, e and d: the token works out the primes and CRT values itself.
    uint32_t priv = d.create(s, {num(CKA_CLASS, CKO_PRIVATE_KEY), num(CKA_KEY_TYPE, CKK_RSA), bytes(CKA_MODULUS, key.part(0)),
                                 bytes(CKA_PUBLIC_EXPONENT, key.part(1)), bytes(CKA_PRIVATE_EXPONENT, key.part(2))});
    return {pub, priv};
}

}  // namespace

TEST(Rsa, GeneratedKeySignsEveryHashVariantVerifiablyByMbedtls) {
    Device d;
    uint32_t s = d.readyUserSession();
    auto [pub, priv] = d.keyPair(s, mech(CKM_RSA_PKCS_KEY_PAIR_GEN), {num(CKA_MODULUS_BITS, 1024), bytes(CKA_PUBLIC_EXPONENT, {1, 0, 1})}, {});
    EXPECT_EQ(d.attribute(s, pub, CKA_MODULUS_BITS), le32(1024));
    EXPECT_EQ(d.attribute(s, priv, CKA_LOCAL), Bytes{1});
    EXPECT_EQ(d.getAttributes(s, priv, {CKA_PRIVATE_EXPONENT}).rv, CKR_ATTRIBUTE_SENSITIVE);
    PublicKey key(d.attribute(s, pub, CKA_MODULUS), d.attribute(s, pub, CKA_PUBLIC_EXPONENT));
    Bytes data = toBytes("the quick brown fox");

    struct Case {
        uint32_t mechanism;
        mbedtls_md_type_t md;
    } cases[] = {{CKM_MD5_RSA_PKCS, MBEDTLS_MD_MD5},       {CKM_SHA1_RSA_PKCS, MBEDTLS_MD_SHA1},
                 {CKM_SHA224_RSA_PKCS, MBEDTLS_MD_SHA224}, {CKM_SHA256_RSA_PKCS, MBEDTLS_MD_SHA256},
                 {CKM_SHA384_RSA_PKCS, MBEDTLS_MD_SHA384}, {CKM_SHA512_RSA_PKCS, MBEDTLS_MD_SHA512}};
    for (const Case& c : cases) {
        Bytes sig = d.signData(s, mech(c.mechanism), priv, data);
        ASSERT_EQ(sig.size(), 128u);
        Bytes h = sha(c.md, data);
        EXPECT_EQ(mbedtls_rsa_pkcs1_verify(&key.rsa, nullptr, nullptr, MBEDTLS_RSA_PUBLIC, c.md, unsigned(h.size()),
                                           h.data(), sig.data()),
                  0)
            << c.mechanism;
        EXPECT_EQ(d.verifyData(s, mech(c.mechanism), pub, data, sig), CKR_OK);
        sig[5] ^= 1;
        EXPECT_EQ(d.verifyData(s, mech(c.mechanism), pub, data, sig), CKR_SIGNATURE_INVALID);
    }
}

TEST(Rsa, PssSignaturesVerifyWithMbedtlsAndWithTheEngine) {
    Device d;
    uint32_t s = d.readyUserSession();
    // SHA-512 with a 64-byte salt needs more than a 1024-bit modulus.
    auto [pub, priv] = d.keyPair(s, mech(CKM_RSA_PKCS_KEY_PAIR_GEN), {num(CKA_MODULUS_BITS, 2048)}, {});
    PublicKey key(d.attribute(s, pub, CKA_MODULUS), d.attribute(s, pub, CKA_PUBLIC_EXPONENT));
    Bytes data = toBytes("pss message");
    struct Case {
        uint32_t mechanism, hash, mgf;
        mbedtls_md_type_t md;
    } cases[] = {{CKM_SHA1_RSA_PKCS_PSS, CKM_SHA_1, CKG_MGF1_SHA1, MBEDTLS_MD_SHA1},
                 {CKM_SHA224_RSA_PKCS_PSS, CKM_SHA224, CKG_MGF1_SHA224, MBEDTLS_MD_SHA224},
                 {CKM_SHA256_RSA_PKCS_PSS, CKM_SHA256, CKG_MGF1_SHA256, MBEDTLS_MD_SHA256},
                 {CKM_SHA384_RSA_PKCS_PSS, CKM_SHA384, CKG_MGF1_SHA384, MBEDTLS_MD_SHA384},
                 {CKM_SHA512_RSA_PKCS_PSS, CKM_SHA512, CKG_MGF1_SHA512, MBEDTLS_MD_SHA512}};
    for (const Case& c : cases) {
        uint32_t salt = uint32_t(mbedtls_md_get_size(mbedtls_md_info_from_type(c.md)));
        Mechanism m = mech(c.mechanism, pssParams(c.hash, c.mgf, salt));
        Bytes sig = d.signData(s, m, priv, data);
        ASSERT_EQ(sig.size(), 256u);
        Bytes h = sha(c.md, data);
        EXPECT_EQ(mbedtls_rsa_rsassa_pss_verify_ext(&key.rsa, nullptr, nullptr, MBEDTLS_RSA_PUBLIC, c.md, unsigned(h.size()),
                                                    h.data(), c.md, int(salt), sig.data()),
                  0)
            << c.mechanism;
        EXPECT_EQ(d.verifyData(s, m, pub, data, sig), CKR_OK);
    }
    // Raw PSS over a precomputed hash, with a different mask hash.
    Bytes h = sha(MBEDTLS_MD_SHA256, data);
    Mechanism raw = mech(CKM_RSA_PKCS_PSS, pssParams(CKM_SHA256, CKG_MGF1_SHA1, 20));
    Bytes sig = d.signData(s, raw, priv, h);
    ASSERT_EQ(sig.size(), 256u);
    EXPECT_EQ(mbedtls_rsa_rsassa_pss_verify_ext(&key.rsa, nullptr, nullptr, MBEDTLS_RSA_PUBLIC, MBEDTLS_MD_SHA256, 32,
                                                h.data(), MBEDTLS_MD_SHA1, 20, sig.data()),
              0);
    // The hash of the parameters must be the mechanism's.
    Request init;
    init.function = kSignInit;
    init.session = s;
    init.mechanism = mech(CKM_SHA256_RSA_PKCS_PSS, pssParams(CKM_SHA_1, CKG_MGF1_SHA1, 20));
    init.handle = priv;
    EXPECT_EQ(d.call(init).rv, CKR_MECHANISM_PARAM_INVALID);
    init.mechanism = mech(CKM_SHA256_RSA_PKCS_PSS, Bytes(8, 0));
    EXPECT_EQ(d.call(init).rv, CKR_MECHANISM_PARAM_INVALID);
}

TEST(Rsa, ImportedKeyGivesTheSameDeterministicSignaturesAsMbedtls) {
    TestKey tk(1024);
    Device d;
    uint32_t s = d.readyUserSession();
    Imported k = import(d, s, tk);
    EXPECT_EQ(d.attribute(s, k.pub, CKA_MODULUS_BITS), le32(1024));
    Bytes data = toBytes("deterministic");
    Bytes h = sha(MBEDTLS_MD_SHA256, data);
    Bytes expected(128);
    ASSERT_EQ(mbedtls_rsa_pkcs1_sign(tk.rsa(), mbedtls_ctr_drbg_random, tk.drbg(), MBEDTLS_RSA_PRIVATE, MBEDTLS_MD_SHA256,
                                     32, h.data(), expected.data()),
              0);
    EXPECT_EQ(d.signData(s, mech(CKM_SHA256_RSA_PKCS), k.priv, data), expected);
    // CKM_RSA_PKCS signs a caller-made DigestInfo; with the SHA-256 prefix it is the same signature.
    Bytes digestInfo = hex("3031300d060960864801650304020105000420");
    digestInfo.insert(digestInfo.end(), h.begin(), h.end());
    EXPECT_EQ(d.signData(s, mech(CKM_RSA_PKCS), k.priv, digestInfo), expected);
    EXPECT_EQ(d.verifyData(s, mech(CKM_RSA_PKCS), k.pub, digestInfo, expected), CKR_OK);
}

TEST(Rsa, OaepAndPkcs1EncryptionInteroperateWithMbedtls) {
    TestKey tk(1024);
    Device d;
    uint32_t s = d.readyUserSession();
    Imported k = import(d, s, tk);
    Bytes message = toBytes("secret message");
    Bytes label = toBytes("label");

    // Engine encrypts, mbedtls decrypts.
    Bytes ct = d.crypt(s, true, oaep(CKM_SHA256, CKG_MGF1_SHA256, label), k.pub, message);
    mbedtls_rsa_set_padding(tk.rsa(), MBEDTLS_RSA_PKCS_V21, MBEDTLS_MD_SHA256);
    Bytes plain(128);
    size_t length = 0;
    ASSERT_EQ(mbedtls_rsa_rsaes_oaep_decrypt(tk.rsa(), mbedtls_ctr_drbg_random, tk.drbg(), MBEDTLS_RSA_PRIVATE, label.data(),
                                             label.size(), &length, ct.data(), plain.data(), plain.size()),
              0);
    plain.resize(length);
    EXPECT_EQ(plain, message);

    // mbedtls encrypts, the engine decrypts.
    Bytes theirs(128);
    ASSERT_EQ(mbedtls_rsa_rsaes_oaep_encrypt(tk.rsa(), mbedtls_ctr_drbg_random, tk.drbg(), MBEDTLS_RSA_PUBLIC, label.data(),
                                             label.size(), message.size(), message.data(), theirs.data()),
              0);
    EXPECT_EQ(d.crypt(s, false, oaep(CKM_SHA256, CKG_MGF1_SHA256, label), k.priv, theirs), message);
    Request init;
    init.function = kDecryptInit;
    init.session = s;
    init.mechanism = oaep(CKM_SHA256, CKG_MGF1_SHA256, toBytes("other label"));
    init.handle = k.priv;
    ASSERT_EQ(d.call(init).rv, CKR_OK);
    Request run;
    run.function = kDecrypt;
    run.session = s;
    run.data = theirs;
    run.length = 256;
    EXPECT_EQ(d.call(run).rv, CKR_ENCRYPTED_DATA_INVALID);

    // PKCS#1 v1.5 both ways, SHA-1 OAEP without a label.
    mbedtls_rsa_set_padding(tk.rsa(), MBEDTLS_RSA_PKCS_V15, 0);
    ct = d.crypt(s, true, mech(CKM_RSA_PKCS), k.pub, message);
    ASSERT_EQ(mbedtls_rsa_pkcs1_decrypt(tk.rsa(), mbedtls_ctr_drbg_random, tk.drbg(), MBEDTLS_RSA_PRIVATE, &length,
                                        ct.data(), plain.data(), 128),
              0);
    EXPECT_EQ(Bytes(plain.begin(), plain.begin() + long(length)), message);
    ct = d.crypt(s, true, oaep(CKM_SHA_1, CKG_MGF1_SHA1, {}), k.pub, message);
    EXPECT_EQ(d.crypt(s, false, oaep(CKM_SHA_1, CKG_MGF1_SHA1, {}), k.priv, ct), message);
    init.mechanism = oaep(CKM_SHA256, CKG_MGF1_SHA1, {});
    EXPECT_EQ(d.call(init).rv, CKR_MECHANISM_PARAM_INVALID);
}

TEST(Rsa, RawOperationsAreTheBareModularExponentiation) {
    TestKey tk(1024);
    Device d;
    uint32_t s = d.readyUserSession();
    Imported k = import(d, s, tk);
    Bytes block = toBytes("raw");
    Bytes sig = d.signData(s, mech(CKM_RSA_X_509), k.priv, block);
    Bytes recovered(128);
    ASSERT_EQ(mbedtls_rsa_public(tk.rsa(), sig.data(), recovered.data()), 0);
    Bytes padded(125, 0);
    padded.insert(padded.end(), block.begin(), block.end());
    EXPECT_EQ(recovered, padded);
    EXPECT_EQ(d.verifyData(s, mech(CKM_RSA_X_509), k.pub, block, sig), CKR_OK);
    Bytes ct = d.crypt(s, true, mech(CKM_RSA_X_509), k.pub, block);
    EXPECT_EQ(d.crypt(s, false, mech(CKM_RSA_X_509), k.priv, ct), padded);
}

TEST(Rsa, DecryptBufferTooSmallKeepsTheOperationAndReportsTheLength) {
    Device d;
    uint32_t s = d.readyUserSession();
    auto [pub, priv] = d.keyPair(s, mech(CKM_RSA_PKCS_KEY_PAIR_GEN), {num(CKA_MODULUS_BITS, 1024)}, {});
    Bytes ct = d.crypt(s, true, mech(CKM_RSA_PKCS), pub, toBytes("twelve bytes"));
    Request init;
    init.function = kDecryptInit;
    init.session = s;
    init.mechanism = mech(CKM_RSA_PKCS);
    init.handle = priv;
    ASSERT_EQ(d.call(init).rv, CKR_OK);
    Request run;
    run.function = kDecrypt;
    run.session = s;
    run.data = ct;
    run.length = 4;
    Response small = d.call(run);
    EXPECT_EQ(small.rv, CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.length, 12u);
    run.length = 12;
    EXPECT_EQ(d.call(run).data, toBytes("twelve bytes"));
}

TEST(Rsa, KeyPairTemplatesAreChecked) {
    Device d;
    uint32_t s = d.readyUserSession();
    Request r;
    r.function = kGenerateKeyPair;
    r.session = s;
    r.mechanism = mech(CKM_RSA_PKCS_KEY_PAIR_GEN);
    EXPECT_EQ(d.call(r).rv, CKR_TEMPLATE_INCOMPLETE);
    r.templ = {num(CKA_MODULUS_BITS, 512)};
    EXPECT_EQ(d.call(r).rv, CKR_KEY_SIZE_RANGE);
    r.templ = {num(CKA_MODULUS_BITS, 1024), num(CKA_CLASS, CKO_SECRET_KEY)};
    EXPECT_EQ(d.call(r).rv, CKR_TEMPLATE_INCONSISTENT);
    r.mechanism = mech(CKM_DSA_KEY_PAIR_GEN);
    EXPECT_EQ(d.call(r).rv, CKR_MECHANISM_INVALID);
    // Signing needs the private half, encryption the public one.
    r.mechanism = mech(CKM_RSA_PKCS_KEY_PAIR_GEN);
    r.templ = {num(CKA_MODULUS_BITS, 1024)};
    Response pair = d.call(r);
    ASSERT_EQ(pair.rv, CKR_OK);
    Request init;
    init.function = kSignInit;
    init.session = s;
    init.mechanism = mech(CKM_SHA256_RSA_PKCS);
    init.handle = *pair.handle;
    EXPECT_EQ(d.call(init).rv, CKR_KEY_FUNCTION_NOT_PERMITTED);  // public keys have no CKA_SIGN
    init.function = kEncryptInit;
    init.mechanism = mech(CKM_RSA_PKCS);
    init.handle = *pair.handle2;
    EXPECT_EQ(d.call(init).rv, CKR_KEY_FUNCTION_NOT_PERMITTED);
}

TEST(Rsa, Sha256PssSignatureVerifiesWithTheOpensslCommandLine) {
    if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl command";
    Device d;
    uint32_t s = d.readyUserSession();
    auto [pub, priv] = d.keyPair(s, mech(CKM_RSA_PKCS_KEY_PAIR_GEN), {num(CKA_MODULUS_BITS, 2048)}, {});
    PublicKey key(d.attribute(s, pub, CKA_MODULUS), d.attribute(s, pub, CKA_PUBLIC_EXPONENT));
    mbedtls_pk_context pk;
    mbedtls_pk_init(&pk);
    mbedtls_pk_setup(&pk, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA));
    mbedtls_rsa_copy(mbedtls_pk_rsa(pk), &key.rsa);
    unsigned char pem[4096];
    ASSERT_EQ(mbedtls_pk_write_pubkey_pem(&pk, pem, sizeof pem), 0);
    mbedtls_pk_free(&pk);

    TempDir dir;
    Bytes data = toBytes("checked by openssl");
    Bytes sig = d.signData(s, mech(CKM_SHA256_RSA_PKCS_PSS, pssParams(CKM_SHA256, CKG_MGF1_SHA256, 32)), priv, data);
    std::ofstream(dir.path() / "pub.pem") << reinterpret_cast<const char*>(pem);
    std::ofstream(dir.path() / "data", std::ios::binary).write(reinterpret_cast<const char*>(data.data()), long(data.size()));
    std::ofstream(dir.path() / "sig", std::ios::binary).write(reinterpret_cast<const char*>(sig.data()), long(sig.size()));
    std::string cmd = "cd '" + dir.path().string() +
                      "' && openssl dgst -sha256 -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:32 "
                      "-verify pub.pem -signature sig data >/dev/null 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}
