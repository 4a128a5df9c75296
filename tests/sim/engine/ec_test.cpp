// Elliptic curves: key pairs on P-256, P-384 and P-521, ECDSA and ECDH, checked with mbedtls.
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/ecdh.h>
#include <mbedtls/ecdsa.h>
#include <mbedtls/entropy.h>

#include "harness.h"

using namespace simtest;

namespace {

struct Curve {
    const char* name;
    mbedtls_ecp_group_id id;
    Bytes params;
};

const Curve kCurves[] = {
    {"P-256", MBEDTLS_ECP_DP_SECP256R1, hex("06082a8648ce3d030107")},
    {"P-384", MBEDTLS_ECP_DP_SECP384R1, hex("06052b81040022")},
    {"P-521", MBEDTLS_ECP_DP_SECP521R1, hex("06052b81040023")},
};

// The bare point inside the DER OCTET STRING of CKA_EC_POINT.
Bytes unwrapPoint(const Bytes& der) {
    size_t header = der[1] & 0x80 ? 2 + (der[1] & 0x7F) : 2;
    return Bytes(der.begin() + long(header), der.end());
}

// A test-side key on one curve.
class Peer {
public:
    explicit Peer(mbedtls_ecp_group_id id) {
        mbedtls_entropy_init(&entropy_);
        mbedtls_ctr_drbg_init(&drbg_);
        mbedtls_ctr_drbg_seed(&drbg_, mbedtls_entropy_func, &entropy_, nullptr, 0);
        mbedtls_ecp_keypair_init(&key_);
        mbedtls_ecp_gen_key(id, &key_, mbedtls_ctr_drbg_random, &drbg_);
    }
    ~Peer() {
        mbedtls_ecp_keypair_free(&key_);
        mbedtls_ctr_drbg_free(&drbg_);
        mbedtls_entropy_free(&entropy_);
    }
    Bytes point() {
        Bytes out(200);
        size_t n = 0;
        mbedtls_ecp_point_write_binary(&key_.grp, &key_.Q, MBEDTLS_ECP_PF_UNCOMPRESSED, &n, out.data(), out.size());
        out.resize(n);
        return out;
    }
    // The shared x-coordinate with the engine's public point.
    Bytes shared(const Bytes& theirPoint) {
        Mpis z;
        Point other(key_.grp, theirPoint);
        mbedtls_ecdh_compute_shared(&key_.grp, &z.a, &other.p, &key_.d, mbedtls_ctr_drbg_random, &drbg_);
        Bytes out((key_.grp.pbits + 7) / 8);
        mbedtls_mpi_write_binary(&z.a, out.data(), out.size());
        return out;
    }
    bool verify(const Bytes& theirPoint, const Bytes& hash, const Bytes& sig) {
        Mpis rs;
        Point q(key_.grp, theirPoint);
        mbedtls_mpi_read_binary(&rs.a, sig.data(), sig.size() / 2);
        mbedtls_mpi_read_binary(&rs.b, sig.data() + sig.size() / 2, sig.size() / 2);
        return mbedtls_ecdsa_verify(&key_.grp, hash.data(), hash.size(), &q.p, &rs.a, &rs.b) == 0;
    }

private:
    struct Mpis {
        mbedtls_mpi a, b;
        Mpis() { mbedtls_mpi_init(&a), mbedtls_mpi_init(&b); }
        ~Mpis() { mbedtls_mpi_free(&a), mbedtls_mpi_free(&b); }
    };
    struct Point {
        mbedtls_ecp_point p;
        Point(const mbedtls_ecp_group& g, const Bytes& b) {
            mbedtls_ecp_point_init(&p);
            mbedtls_ecp_point_read_binary(&g, &p, b.data(), b.size());
        }
        ~Point() { mbedtls_ecp_point_free(&p); }
    };
    mbedtls_entropy_context entropy_;
    mbedtls_ctr_drbg_context drbg_;
    mbedtls_ecp_keypair key_;
};

Mechanism ecdh(const Bytes& publicData, uint32_t kdf = CKD_NULL, std::optional<Bytes> shared = {}) {
    Mechanism m;
    m.mechanism = CKM_ECDH1_DERIVE;
    dravenholt::wire::EcdhParams p;
    p.kdf = kdf;
    p.publicData = publicData;
    p.sharedData = std::move(shared);
    m.ecdhParams = p;
    return m;
}

}  // namespace

TEST(Ec, EcdsaOnEveryCurveVerifiesWithMbedtls) {
    Device d;
    uint32_t s = d.readyUserSession();
    Bytes data = toBytes("ecdsa message");
    for (const Curve& c : kCurves) {
        auto [pub, priv] = d.keyPair(s, mech(CKM_EC_KEY_PAIR_GEN), {bytes(CKA_EC_PARAMS, c.params)}, {flag(CKA_DERIVE, true)});
        Bytes point = unwrapPoint(d.attribute(s, pub, CKA_EC_POINT));
        EXPECT_EQ(d.attribute(s, priv, CKA_EC_PARAMS), c.params);
        Peer checker(c.id);

        Bytes sig = d.signData(s, mech(CKM_ECDSA_SHA256), priv, data);
        EXPECT_TRUE(checker.verify(point, simref::md(MBEDTLS_MD_SHA256, data), sig)) << c.name;
        EXPECT_EQ(d.verifyData(s, mech(CKM_ECDSA_SHA256), pub, data, sig), CKR_OK);

        Bytes raw = d.signData(s, mech(CKM_ECDSA), priv, simref::md(MBEDTLS_MD_SHA256, data));
        EXPECT_TRUE(checker.verify(point, simref::md(MBEDTLS_MD_SHA256, data), raw)) << c.name;
        raw[raw.size() - 1] ^= 1;
        EXPECT_EQ(d.verifyData(s, mech(CKM_ECDSA), pub, simref::md(MBEDTLS_MD_SHA256, data), raw), CKR_SIGNATURE_INVALID);
        EXPECT_EQ(d.verifyData(s, mech(CKM_ECDSA), pub, simref::md(MBEDTLS_MD_SHA256, data), Bytes(raw.begin() + 1, raw.end())),
                  CKR_SIGNATURE_LEN_RANGE);
    }
}

TEST(Ec, Ecdh1DeriveAgreesWithThePeer) {
    Device d;
    uint32_t s = d.readyUserSession();
    for (const Curve& c : kCurves) {
        auto [pub, priv] = d.keyPair(s, mech(CKM_EC_KEY_PAIR_GEN), {bytes(CKA_EC_PARAMS, c.params)}, {flag(CKA_DERIVE, true)});
        Peer peer(c.id);
        Bytes expected = peer.shared(unwrapPoint(d.attribute(s, pub, CKA_EC_POINT)));

        Call derive = Call(kDeriveKey, s).handle(priv);
        Response r = d.call(Call(derive).mech(ecdh(peer.point())).templ({num(CKA_KEY_TYPE, CKK_GENERIC_SECRET), flag(CKA_SENSITIVE, false)}));
        ASSERT_EQ(r.rv, CKR_OK) << c.name;
        EXPECT_EQ(d.attribute(s, *r.handle, CKA_VALUE), expected) << c.name;

        // An AES key takes the leading bytes of the shared secret; the DER-wrapped point works too.
        Bytes wrapped = {0x04, uint8_t(peer.point().size())};
        if (peer.point().size() >= 0x80) wrapped = {0x04, 0x81, uint8_t(peer.point().size())};
        Bytes p = peer.point();
        wrapped.insert(wrapped.end(), p.begin(), p.end());
        r = d.call(Call(derive).mech(ecdh(wrapped)).templ({num(CKA_KEY_TYPE, CKK_AES), num(CKA_VALUE_LEN, 16), flag(CKA_SENSITIVE, false)}));
        ASSERT_EQ(r.rv, CKR_OK);
        EXPECT_EQ(d.attribute(s, *r.handle, CKA_VALUE), Bytes(expected.begin(), expected.begin() + 16));
        EXPECT_EQ(d.attribute(s, *r.handle, CKA_LOCAL), Bytes{0});

        // X9.63 key derivation: SHA-256(Z || counter || shared data) for counters 1 and 2.
        Bytes shared = toBytes("shared info");
        r = d.call(Call(derive).mech(ecdh(p, CKD_SHA256_KDF, shared))
                       .templ({num(CKA_KEY_TYPE, CKK_GENERIC_SECRET), num(CKA_VALUE_LEN, 40), flag(CKA_SENSITIVE, false)}));
        ASSERT_EQ(r.rv, CKR_OK);
        Bytes kdf;
        for (uint8_t counter : {1, 2}) {
            Bytes input = expected;
            for (uint8_t b : Bytes{0, 0, 0, counter}) input.push_back(b);
            input.insert(input.end(), shared.begin(), shared.end());
            Bytes block = simref::md(MBEDTLS_MD_SHA256, input);
            kdf.insert(kdf.end(), block.begin(), block.end());
        }
        kdf.resize(40);
        EXPECT_EQ(d.attribute(s, *r.handle, CKA_VALUE), kdf) << c.name;
    }
}

TEST(Ec, DeriveChecksItsParameters) {
    Device d;
    uint32_t s = d.readyUserSession();
    Peer peer(MBEDTLS_ECP_DP_SECP256R1);
    auto pair = d.keyPair(s, mech(CKM_EC_KEY_PAIR_GEN), {bytes(CKA_EC_PARAMS, kCurves[0].params)}, {flag(CKA_DERIVE, true)});
    Call derive = Call(kDeriveKey, s).handle(pair.second);
    EXPECT_EQ(d.rv(Call(derive).mech(ecdh(peer.point(), 0x99))), CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(d.rv(Call(derive).mech(ecdh(peer.point(), CKD_NULL, Bytes{1}))), CKR_MECHANISM_PARAM_INVALID);
    Bytes offCurve = peer.point();
    offCurve[10] ^= 1;
    EXPECT_EQ(d.rv(Call(derive).mech(ecdh(offCurve))), CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(d.rv(Call(derive).mech(ecdh(peer.point())).templ({num(CKA_KEY_TYPE, CKK_AES), num(CKA_VALUE_LEN, 64)})),
              CKR_TEMPLATE_INCONSISTENT);
}

TEST(Ec, UnsupportedCurveAndImportedPublicKey) {
    Device d;
    uint32_t s = d.readyUserSession();
    EXPECT_EQ(d.rv(Call(kGenerateKeyPair, s).mech(mech(CKM_EC_KEY_PAIR_GEN)).templ({bytes(CKA_EC_PARAMS, hex("06052b8104000a"))})),
              CKR_CURVE_NOT_SUPPORTED);  // secp256k1 is not offered

    Peer peer(MBEDTLS_ECP_DP_SECP384R1);
    uint32_t pub = d.create(s, {num(CKA_CLASS, CKO_PUBLIC_KEY), num(CKA_KEY_TYPE, CKK_EC),
                                bytes(CKA_EC_PARAMS, kCurves[1].params), bytes(CKA_EC_POINT, peer.point())});
    // Stored in the standard DER form whatever form it came in.
    Bytes stored = d.attribute(s, pub, CKA_EC_POINT);
    EXPECT_EQ(stored[0], 0x04);
    EXPECT_EQ(unwrapPoint(stored), peer.point());
    Bytes point = peer.point();
    point[5] ^= 0x40;
    EXPECT_EQ(d.rv(Call(kCreateObject, s).templ({num(CKA_CLASS, CKO_PUBLIC_KEY), num(CKA_KEY_TYPE, CKK_EC),
                                                  bytes(CKA_EC_PARAMS, kCurves[1].params), bytes(CKA_EC_POINT, point)})),
              CKR_ATTRIBUTE_VALUE_INVALID);
}

TEST(Ec, AlwaysAuthenticateKeyNeedsAContextSpecificLoginPerSignature) {
    Device d;
    uint32_t s = d.readyUserSession();
    auto [pub, priv] = d.keyPair(s, mech(CKM_EC_KEY_PAIR_GEN), {bytes(CKA_EC_PARAMS, kCurves[0].params)},
                                 {flag(CKA_ALWAYS_AUTHENTICATE, true)});
    Bytes hash(32, 0x11);
    ASSERT_EQ(d.rv(Call(kSignInit, s).mech(mech(CKM_ECDSA)).handle(priv)), CKR_OK);
    EXPECT_EQ(d.rv(Call(kSign, s).data(hash).length(64)), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(d.login(s, CKU_CONTEXT_SPECIFIC, toBytes("wrong-pin")), CKR_PIN_INCORRECT);
    EXPECT_EQ(d.login(s, CKU_CONTEXT_SPECIFIC, kUserPin), CKR_OK);
    Response r = d.call(Call(kSign, s).data(hash).length(64));
    ASSERT_EQ(r.rv, CKR_OK);
    EXPECT_EQ(d.verifyData(s, mech(CKM_ECDSA), pub, hash, *r.data), CKR_OK);
    EXPECT_EQ(d.login(s, CKU_CONTEXT_SPECIFIC, kUserPin), CKR_OPERATION_NOT_INITIALIZED);
}
