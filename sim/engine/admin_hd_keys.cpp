#include "admin_hd_keys.h"

#include <cstring>

#include <mbedtls/ecdsa.h>

#include "mbed.h"

namespace dravenholt::sim {
namespace {

constexpr size_t kScalar = 32;
constexpr uint32_t kHardened = 0x80000000u;

struct Curve {
    EcGroup group;
    bool loaded = mbedtls_ecp_group_load(group.get(), MBEDTLS_ECP_DP_SECP256K1) == 0;
    const mbedtls_mpi& order() const { return group.get()->N; }
    bool validScalar(const mbedtls_mpi& k) const {
        return mbedtls_mpi_cmp_int(&k, 0) > 0 && mbedtls_mpi_cmp_mpi(&k, &order()) < 0;
    }
};

bool hmacSha512(const Bytes& key, const Bytes& data, Bytes& out) {
    out.assign(64, 0);
    return mbedtls_md_hmac(mbedtls_md_info_from_type(MBEDTLS_MD_SHA512), key.data(), key.size(), data.data(),
                           data.size(), out.data()) == 0;
}

// The left half of an HMAC output as a private scalar, the right half as the chain code.
// Indices whose left half is no valid scalar have no key; the chance is below 2^-127.
Rv takeHalves(Curve& curve, Bytes& hmac, const mbedtls_mpi* parent, ExtendedKey& out) {
    Mpi left, key;
    Rv rv = CKR_OK;
    if (!mpiRead(*left.get(), Bytes(hmac.begin(), hmac.begin() + kScalar)) ||
        mbedtls_mpi_cmp_mpi(left.get(), &curve.order()) >= 0) {
        rv = CKR_FUNCTION_FAILED;
    } else if (parent) {
        if (mbedtls_mpi_add_mpi(key.get(), left.get(), parent) != 0 ||
            mbedtls_mpi_mod_mpi(key.get(), key.get(), &curve.order()) != 0)
            rv = CKR_DEVICE_ERROR;
    } else if (mbedtls_mpi_copy(key.get(), left.get()) != 0) {
        rv = CKR_DEVICE_ERROR;
    }
    if (rv == CKR_OK && !curve.validScalar(*key.get())) rv = CKR_FUNCTION_FAILED;
    if (rv == CKR_OK) {
        out.key = mpiBytes(*key.get(), kScalar);
        out.chainCode.assign(hmac.begin() + kScalar, hmac.end());
    }
    wipe(hmac);
    return rv;
}

Rv readKey(const Curve& curve, const Bytes& key, Mpi& out) {
    if (key.size() != kScalar || !mpiRead(*out.get(), key) || !curve.validScalar(*out.get()))
        return CKR_KEY_HANDLE_INVALID;
    return CKR_OK;
}

Rv publicKey(Curve& curve, const Bytes& key, Random& random, Bytes& out) {
    Mpi d;
    if (Rv rv = readKey(curve, key, d); rv != CKR_OK) return rv;
    EcPoint q;
    mbedtls_ecp_group* g = curve.group.get();
    Bytes encoded(kScalar + 1);
    size_t written = 0;
    if (mbedtls_ecp_mul(g, q.get(), d.get(), &g->G, Random::callback, &random) != 0 ||
        mbedtls_ecp_point_write_binary(g, q.get(), MBEDTLS_ECP_PF_COMPRESSED, &written, encoded.data(),
                                       encoded.size()) != 0 ||
        written != encoded.size())
        return CKR_DEVICE_ERROR;
    out = std::move(encoded);
    return CKR_OK;
}

Rv deriveChild(Curve& curve, const ExtendedKey& parent, uint32_t index, Random& random, ExtendedKey& out) {
    Mpi k;
    if (Rv rv = readKey(curve, parent.key, k); rv != CKR_OK) return rv;
    // Hardened: 0x00 and the private key; otherwise the compressed public key. Then the index.
    Bytes data(1 + kScalar + 4, 0);
    if (index & kHardened) {
        std::memcpy(data.data() + 1, parent.key.data(), kScalar);
    } else {
        Bytes point;
        if (Rv rv = publicKey(curve, parent.key, random, point); rv != CKR_OK) return rv;
        std::memcpy(data.data(), point.data(), point.size());
    }
    for (size_t i = 0; i < 4; ++i) data[1 + kScalar + i] = uint8_t(index >> (24 - 8 * i));
    Bytes hmac;
    bool ok = hmacSha512(parent.chainCode, data, hmac);
    wipe(data);
    if (!ok) return CKR_DEVICE_ERROR;
    return takeHalves(curve, hmac, k.get(), out);
}

}  // namespace

Rv masterKeyFromSeed(const Bytes& seed, ExtendedKey& out) {
    if (seed.size() < kMinSeed || seed.size() > kMaxSeed) return CKR_KEY_SIZE_RANGE;
    Curve curve;
    if (!curve.loaded) return CKR_DEVICE_ERROR;
    static const Bytes kSeedKey = toBytes("Bitcoin seed");
    Bytes hmac;
    if (!hmacSha512(kSeedKey, seed, hmac)) return CKR_DEVICE_ERROR;
    return takeHalves(curve, hmac, nullptr, out);
}

Rv derivePath(const ExtendedKey& master, const std::vector<uint32_t>& path, Random& random, ExtendedKey& out) {
    if (path.size() > kMaxPathDepth) return CKR_ARGUMENTS_BAD;
    Curve curve;
    if (!curve.loaded) return CKR_DEVICE_ERROR;
    ExtendedKey current = master;
    for (uint32_t index : path) {
        ExtendedKey child;
        if (Rv rv = deriveChild(curve, current, index, random, child); rv != CKR_OK) return rv;
        current = child;
    }
    out = current;
    return CKR_OK;
}

Rv compressedPublicKey(const Bytes& key, Random& random, Bytes& out) {
    Curve curve;
    if (!curve.loaded) return CKR_DEVICE_ERROR;
    return publicKey(curve, key, random, out);
}

Rv signDigest(const Bytes& key, const Bytes& digest, Random& random, Bytes& out) {
    if (digest.size() != kScalar) return CKR_DATA_LEN_RANGE;
    Curve curve;
    if (!curve.loaded) return CKR_DEVICE_ERROR;
    Mpi d, r, s, half;
    if (Rv rv = readKey(curve, key, d); rv != CKR_OK) return rv;
    mbedtls_ecp_group* g = curve.group.get();
    if (mbedtls_ecdsa_sign_det_ext(g, r.get(), s.get(), d.get(), digest.data(), digest.size(), MBEDTLS_MD_SHA256,
                                   Random::callback, &random) != 0 ||
        mbedtls_mpi_copy(half.get(), &g->N) != 0 || mbedtls_mpi_shift_r(half.get(), 1) != 0)
        return CKR_DEVICE_ERROR;
    // Of the two valid values of s the lower one, as Bitcoin requires.
    if (mbedtls_mpi_cmp_mpi(s.get(), half.get()) > 0 && mbedtls_mpi_sub_mpi(s.get(), &g->N, s.get()) != 0)
        return CKR_DEVICE_ERROR;
    out = mpiBytes(*r.get(), kScalar);
    Bytes sBytes = mpiBytes(*s.get(), kScalar);
    out.insert(out.end(), sBytes.begin(), sBytes.end());
    return CKR_OK;
}

}  // namespace dravenholt::sim
