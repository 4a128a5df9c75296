#include "crypto/dh.h"

#include <mbedtls/dhm.h>

#include "mbed.h"

namespace dravenholt::sim {
namespace {

using DhmContext = MbedHolder<mbedtls_dhm_context, mbedtls_dhm_init, mbedtls_dhm_free>;

constexpr size_t kMinBits = 1024;
constexpr size_t kMaxBits = 2048;

// CKA_PRIME_BITS travels in the bytes form: a host CK_ULONG, 4 or 8 bytes little-endian.
bool readUlong(const Bytes& value, uint64_t& out) {
    if (value.size() != 4 && value.size() != 8) return false;
    out = 0;
    for (size_t i = value.size(); i-- > 0;) out = out << 8 | value[i];
    return true;
}

Rv loadGroup(const Object& o, DhmContext& ctx) {
    if (!o.has(CKA_PRIME) || !o.has(CKA_BASE)) return CKR_TEMPLATE_INCOMPLETE;
    Mpi p, g;
    if (!mpiRead(*p.get(), o.bytes(CKA_PRIME)) || !mpiRead(*g.get(), o.bytes(CKA_BASE)))
        return CKR_ATTRIBUTE_VALUE_INVALID;
    size_t bits = mbedtls_mpi_bitlen(p.get());
    if (bits < kMinBits || bits > kMaxBits) return CKR_KEY_SIZE_RANGE;
    if (mbedtls_mpi_cmp_int(g.get(), 1) <= 0 || mbedtls_mpi_cmp_mpi(g.get(), p.get()) >= 0)
        return CKR_ATTRIBUTE_VALUE_INVALID;
    return mbedtls_dhm_set_group(ctx.get(), p.get(), g.get()) == 0 ? CKR_OK : CKR_ATTRIBUTE_VALUE_INVALID;
}

// 1 < value < p - 1, as a public or private value must be.
bool inRange(const DhmContext& ctx, const Bytes& value) {
    Mpi v, top;
    if (!mpiRead(*v.get(), value)) return false;
    mbedtls_mpi_sub_int(top.get(), &ctx.get()->P, 1);
    return mbedtls_mpi_cmp_int(v.get(), 1) > 0 && mbedtls_mpi_cmp_mpi(v.get(), top.get()) < 0;
}

}  // namespace

Rv generateDhParameters(Random& random, Object& params) {
    uint64_t bits = 0;
    if (!params.has(CKA_PRIME_BITS)) return CKR_TEMPLATE_INCOMPLETE;
    if (!readUlong(params.bytes(CKA_PRIME_BITS), bits)) return CKR_ATTRIBUTE_VALUE_INVALID;
    if (bits < kMinBits || bits > kMaxBits) return CKR_KEY_SIZE_RANGE;
    Mpi p;
    if (mbedtls_mpi_gen_prime(p.get(), size_t(bits), MBEDTLS_MPI_GEN_PRIME_FLAG_DH, Random::callback, &random) != 0)
        return CKR_DEVICE_ERROR;
    // p = 2q + 1 with q prime: 2 generates a subgroup of order q or 2q, both large.
    params.set(CKA_PRIME, mpiBytes(*p.get()));
    params.set(CKA_BASE, Bytes{2});
    return CKR_OK;
}

Rv generateDhPair(Random& random, Object& pub, Object& priv) {
    DhmContext ctx;
    if (Rv rv = loadGroup(pub, ctx); rv != CKR_OK) return rv;
    size_t size = ctx.get()->len;
    Bytes y(size);
    if (mbedtls_dhm_make_public(ctx.get(), int(size), y.data(), y.size(), Random::callback, &random) != 0)
        return CKR_DEVICE_ERROR;
    pub.set(CKA_VALUE, y);
    priv.set(CKA_PRIME, pub.bytes(CKA_PRIME));
    priv.set(CKA_BASE, pub.bytes(CKA_BASE));
    priv.set(CKA_VALUE, mpiBytes(ctx.get()->X));
    return CKR_OK;
}

Rv dhSecret(Random& random, const Object& priv, const Bytes& peerPublic, Bytes& secret) {
    DhmContext ctx;
    if (Rv rv = loadGroup(priv, ctx); rv != CKR_OK) return rv;
    if (!inRange(ctx, peerPublic)) return CKR_MECHANISM_PARAM_INVALID;
    if (!mpiRead(ctx.get()->X, priv.bytes(CKA_VALUE)) || !mpiRead(ctx.get()->GY, peerPublic))
        return CKR_DEVICE_ERROR;
    size_t size = ctx.get()->len;
    Bytes k(size);
    size_t length = 0;
    if (mbedtls_dhm_calc_secret(ctx.get(), k.data(), k.size(), &length, Random::callback, &random) != 0)
        return CKR_MECHANISM_PARAM_INVALID;
    secret.assign(size - length, 0);
    secret.insert(secret.end(), k.begin(), k.begin() + long(length));
    wipe(k);
    return CKR_OK;
}

Rv checkDhKey(Object& key) {
    if (!key.has(CKA_VALUE)) return CKR_TEMPLATE_INCOMPLETE;
    DhmContext ctx;
    if (Rv rv = loadGroup(key, ctx); rv != CKR_OK) return rv == CKR_KEY_SIZE_RANGE ? CKR_ATTRIBUTE_VALUE_INVALID : rv;
    return inRange(ctx, key.bytes(CKA_VALUE)) ? CKR_OK : CKR_ATTRIBUTE_VALUE_INVALID;
}

}  // namespace dravenholt::sim
