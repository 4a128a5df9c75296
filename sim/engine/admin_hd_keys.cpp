#include "admin_hd_keys.h"

#include <cstring>

#include <openssl/hmac.h>
#include <openssl/obj_mac.h>

#include "crypto/ossl.h"

namespace dravenholt::sim {
namespace {

constexpr size_t kScalar = 32;
constexpr uint32_t kHardened = 0x80000000u;

struct Curve {
    ossl::EcGroup group{EC_GROUP_new_by_curve_name(NID_secp256k1)};
    ossl::BnCtx ctx{BN_CTX_new()};
    bool loaded() const { return group && ctx; }
    const BIGNUM* order() const { return EC_GROUP_get0_order(group.get()); }
    bool validScalar(const BIGNUM* k) const { return !BN_is_zero(k) && !BN_is_negative(k) && BN_cmp(k, order()) < 0; }
};

bool hmacSha512(const Bytes& key, const Bytes& data, Bytes& out) {
    out.assign(64, 0);
    unsigned int length = 0;
    return HMAC(EVP_sha512(), key.data(), int(key.size()), data.data(), data.size(), out.data(), &length) &&
           length == out.size();
}

Bytes hmacSha256(const Bytes& key, const Bytes& data) {
    Bytes out(32);
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), key.data(), int(key.size()), data.data(), data.size(), out.data(), &length)) out.clear();
    return out;
}

// The left half of an HMAC output as a private scalar, the right half as the chain code.
// Indices whose left half is no valid scalar have no key; the chance is below 2^-127.
Rv takeHalves(Curve& curve, Bytes& hmac, const BIGNUM* parent, ExtendedKey& out) {
    ossl::Bn left = ossl::bnFrom(Bytes(hmac.begin(), hmac.begin() + kScalar));
    ossl::Bn key(BN_new());
    Rv rv = CKR_OK;
    if (!left || !key) {
        rv = CKR_DEVICE_MEMORY;
    } else if (BN_cmp(left.get(), curve.order()) >= 0) {
        rv = CKR_FUNCTION_FAILED;
    } else if (parent ? !BN_mod_add(key.get(), left.get(), parent, curve.order(), curve.ctx.get())
                      : !BN_copy(key.get(), left.get())) {
        rv = CKR_DEVICE_ERROR;
    }
    if (rv == CKR_OK && !curve.validScalar(key.get())) rv = CKR_FUNCTION_FAILED;
    if (rv == CKR_OK) {
        out.key = ossl::bnBytes(key.get(), kScalar);
        out.chainCode.assign(hmac.begin() + kScalar, hmac.end());
    }
    wipe(hmac);
    return rv;
}

Rv readKey(const Curve& curve, const Bytes& key, ossl::Bn& out) {
    out = ossl::bnFrom(key);
    if (key.size() != kScalar || !out || !curve.validScalar(out.get())) return CKR_KEY_HANDLE_INVALID;
    return CKR_OK;
}

Rv publicKey(Curve& curve, const Bytes& key, Bytes& out) {
    ossl::Bn d;
    if (Rv rv = readKey(curve, key, d); rv != CKR_OK) return rv;
    const EC_GROUP* g = curve.group.get();
    ossl::EcPoint q(EC_POINT_new(g));
    Bytes encoded(kScalar + 1);
    if (!q || EC_POINT_mul(g, q.get(), d.get(), nullptr, nullptr, curve.ctx.get()) != 1 ||
        EC_POINT_point2oct(g, q.get(), POINT_CONVERSION_COMPRESSED, encoded.data(), encoded.size(), curve.ctx.get()) !=
            encoded.size())
        return CKR_DEVICE_ERROR;
    out = std::move(encoded);
    return CKR_OK;
}

Rv deriveChild(Curve& curve, const ExtendedKey& parent, uint32_t index, ExtendedKey& out) {
    ossl::Bn k;
    if (Rv rv = readKey(curve, parent.key, k); rv != CKR_OK) return rv;
    // Hardened: 0x00 and the private key; otherwise the compressed public key. Then the index.
    Bytes data(1 + kScalar + 4, 0);
    if (index & kHardened) {
        std::memcpy(data.data() + 1, parent.key.data(), kScalar);
    } else {
        Bytes point;
        if (Rv rv = publicKey(curve, parent.key, point); rv != CKR_OK) return rv;
        std::memcpy(data.data(), point.data(), point.size());
    }
    for (size_t i = 0; i < 4; ++i) data[1 + kScalar + i] = uint8_t(index >> (24 - 8 * i));
    Bytes hmac;
    bool ok = hmacSha512(parent.chainCode, data, hmac);
    wipe(data);
    if (!ok) return CKR_DEVICE_ERROR;
    return takeHalves(curve, hmac, k.get(), out);
}

// The deterministic nonces of RFC 6979 (HMAC-SHA-256 generator) for key x and digest h, in
// turn until `accept` takes one.
template <class Accept>
bool deterministicNonce(const Curve& curve, const Bytes& x, const Bytes& h, Accept accept) {
    ossl::Bn hn = ossl::bnFrom(h);
    if (!hn || !BN_mod(hn.get(), hn.get(), curve.order(), curve.ctx.get())) return false;
    Bytes h1 = ossl::bnBytes(hn.get(), kScalar);
    Bytes v(32, 0x01), k(32, 0x00);
    // V || separator, followed by the key and digest while seeding.
    auto join = [&](uint8_t separator, bool seeding) {
        Bytes m = v;
        m.push_back(separator);
        if (seeding) {
            m.insert(m.end(), x.begin(), x.end());
            m.insert(m.end(), h1.begin(), h1.end());
        }
        return m;
    };
    for (uint8_t separator : {0, 1}) {
        k = hmacSha256(k, join(separator, true));
        v = hmacSha256(k, v);
    }
    for (int attempt = 0; attempt < 64 && !k.empty() && !v.empty(); ++attempt) {
        v = hmacSha256(k, v);
        ossl::Bn candidate = ossl::bnFrom(v);
        if (candidate && curve.validScalar(candidate.get()) && accept(candidate.get())) return true;
        k = hmacSha256(k, join(0, false));
        v = hmacSha256(k, v);
    }
    return false;
}

}  // namespace

Rv masterKeyFromSeed(const Bytes& seed, ExtendedKey& out) {
    if (seed.size() < kMinSeed || seed.size() > kMaxSeed) return CKR_KEY_SIZE_RANGE;
    Curve curve;
    if (!curve.loaded()) return CKR_DEVICE_ERROR;
    static const Bytes kSeedKey = toBytes("Bitcoin seed");
    Bytes hmac;
    if (!hmacSha512(kSeedKey, seed, hmac)) return CKR_DEVICE_ERROR;
    return takeHalves(curve, hmac, nullptr, out);
}

Rv derivePath(const ExtendedKey& master, const std::vector<uint32_t>& path, ExtendedKey& out) {
    if (path.size() > kMaxPathDepth) return CKR_ARGUMENTS_BAD;
    Curve curve;
    if (!curve.loaded()) return CKR_DEVICE_ERROR;
    ExtendedKey current = master;
    for (uint32_t index : path) {
        ExtendedKey child;
        if (Rv rv = deriveChild(curve, current, index, child); rv != CKR_OK) return rv;
        current = child;
    }
    out = current;
    return CKR_OK;
}

Rv compressedPublicKey(const Bytes& key, Bytes& out) {
    Curve curve;
    if (!curve.loaded()) return CKR_DEVICE_ERROR;
    return publicKey(curve, key, out);
}

Rv signDigest(const Bytes& key, const Bytes& digest, Bytes& out) {
    if (digest.size() != kScalar) return CKR_DATA_LEN_RANGE;
    Curve curve;
    if (!curve.loaded()) return CKR_DEVICE_ERROR;
    ossl::Bn d;
    if (Rv rv = readKey(curve, key, d); rv != CKR_OK) return rv;
    const EC_GROUP* g = curve.group.get();
    BN_CTX* ctx = curve.ctx.get();
    ossl::Bn e = ossl::bnFrom(digest), r(BN_new()), s(BN_new()), half(BN_new());
    ossl::EcPoint point(EC_POINT_new(g));
    if (!e || !r || !s || !half || !point) return CKR_DEVICE_MEMORY;
    // r = x(kG) mod n, s = (e + r d) / k mod n; a nonce giving 0 for either is passed over.
    bool signedIt = deterministicNonce(curve, key, digest, [&](const BIGNUM* k) {
        ossl::Bn kInverse(BN_mod_inverse(nullptr, k, curve.order(), ctx));
        return kInverse && EC_POINT_mul(g, point.get(), k, nullptr, nullptr, ctx) == 1 &&
               EC_POINT_get_affine_coordinates(g, point.get(), r.get(), nullptr, ctx) == 1 &&
               BN_nnmod(r.get(), r.get(), curve.order(), ctx) && !BN_is_zero(r.get()) &&
               BN_mod_mul(s.get(), r.get(), d.get(), curve.order(), ctx) &&
               BN_mod_add(s.get(), s.get(), e.get(), curve.order(), ctx) &&
               BN_mod_mul(s.get(), s.get(), kInverse.get(), curve.order(), ctx) && !BN_is_zero(s.get());
    });
    if (!signedIt || !BN_rshift1(half.get(), curve.order())) return CKR_DEVICE_ERROR;
    // Of the two valid values of s the lower one, as Bitcoin requires.
    if (BN_cmp(s.get(), half.get()) > 0 && !BN_sub(s.get(), curve.order(), s.get())) return CKR_DEVICE_ERROR;
    out = ossl::bnBytes(r.get(), kScalar);
    Bytes sBytes = ossl::bnBytes(s.get(), kScalar);
    out.insert(out.end(), sBytes.begin(), sBytes.end());
    return CKR_OK;
}

}  // namespace dravenholt::sim
