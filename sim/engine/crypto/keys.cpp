#include "crypto/keys.h"

#include <array>

#include <mbedtls/rsa.h>

#include "crypto/crypto.h"
#include "crypto/dh.h"

namespace dravenholt::sim {
namespace {

struct Curve {
    mbedtls_ecp_group_id id;
    Bytes oid;  // DER, tag and length included
};

const std::array<Curve, 3>& curves() {
    static const std::array<Curve, 3> list = {{
        {MBEDTLS_ECP_DP_SECP256R1, {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07}},
        {MBEDTLS_ECP_DP_SECP384R1, {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22}},
        {MBEDTLS_ECP_DP_SECP521R1, {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x23}},
    }};
    return list;
}

// DER length prefix of a short or one/two-byte long form.
Bytes derLength(size_t n) {
    if (n < 0x80) return {uint8_t(n)};
    if (n < 0x100) return {0x81, uint8_t(n)};
    return {0x82, uint8_t(n >> 8), uint8_t(n)};
}

Rv checkRsa(Object& key) {
    bool priv = key.objectClass() == CKO_PRIVATE_KEY;
    if (!key.has(CKA_MODULUS) || (!priv && !key.has(CKA_PUBLIC_EXPONENT)) ||
        (priv && !key.has(CKA_PRIVATE_EXPONENT)))
        return CKR_TEMPLATE_INCOMPLETE;
    RsaContext ctx;
    if (Rv rv = loadRsa(key, ctx); rv != CKR_OK) return rv;
    Mpi n;
    mbedtls_rsa_export(ctx.get(), n.get(), nullptr, nullptr, nullptr, nullptr);
    size_t bits = mbedtls_mpi_bitlen(n.get());
    if (bits < 1024 || bits > 4096) return CKR_ATTRIBUTE_VALUE_INVALID;
    if (!priv) {
        if (key.has(CKA_MODULUS_BITS) && key.number(CKA_MODULUS_BITS) != bits)
            return CKR_TEMPLATE_INCONSISTENT;
        key.setNumber(CKA_MODULUS_BITS, uint32_t(bits));
        return CKR_OK;
    }
    Object pub;
    storeRsa(*ctx.get(), pub, &key);
    return CKR_OK;
}

Rv checkEc(Object& key) {
    if (!key.has(CKA_EC_PARAMS)) return CKR_TEMPLATE_INCOMPLETE;
    EcGroup group;
    if (key.objectClass() == CKO_PUBLIC_KEY) {
        if (!key.has(CKA_EC_POINT)) return CKR_TEMPLATE_INCOMPLETE;
        EcPoint q;
        if (Rv rv = loadEcPublic(key, group, q); rv != CKR_OK) return rv;
        key.set(CKA_EC_POINT, pointAttribute(*group.get(), *q.get()));
        return CKR_OK;
    }
    if (!key.has(CKA_VALUE)) return CKR_TEMPLATE_INCOMPLETE;
    Mpi d;
    return loadEcPrivate(key, group, d);
}

Rv checkSecret(Object& key) {
    if (!key.has(CKA_VALUE)) return CKR_TEMPLATE_INCOMPLETE;
    size_t length = key.find(CKA_VALUE)->size();
    if (!secretLengthOk(key.keyType(), length)) return CKR_ATTRIBUTE_VALUE_INVALID;
    if (key.has(CKA_VALUE_LEN) && key.number(CKA_VALUE_LEN) != length) return CKR_TEMPLATE_INCONSISTENT;
    key.setNumber(CKA_VALUE_LEN, uint32_t(length));
    return CKR_OK;
}

}  // namespace

mbedtls_ecp_group_id curveFromParams(const Bytes& ecParams) {
    for (const Curve& c : curves())
        if (c.oid == ecParams) return c.id;
    return MBEDTLS_ECP_DP_NONE;
}

Bytes paramsFromCurve(mbedtls_ecp_group_id id) {
    for (const Curve& c : curves())
        if (c.id == id) return c.oid;
    return {};
}

size_t fieldBytes(const mbedtls_ecp_group& group) { return (group.pbits + 7) / 8; }

bool readPoint(const mbedtls_ecp_group& group, const Bytes& encoded, mbedtls_ecp_point& out) {
    size_t raw = 1 + 2 * fieldBytes(group);
    Bytes point = encoded;
    if (encoded.size() != raw) {
        Bytes prefix = derLength(raw);
        prefix.insert(prefix.begin(), 0x04);
        if (encoded.size() != prefix.size() + raw || !std::equal(prefix.begin(), prefix.end(), encoded.begin()))
            return false;
        point.assign(encoded.begin() + prefix.size(), encoded.end());
    }
    return mbedtls_ecp_point_read_binary(&group, &out, point.data(), point.size()) == 0 &&
           mbedtls_ecp_check_pubkey(&group, &out) == 0;
}

Bytes pointAttribute(const mbedtls_ecp_group& group, const mbedtls_ecp_point& point) {
    Bytes raw(1 + 2 * fieldBytes(group));
    size_t length = 0;
    mbedtls_ecp_point_write_binary(&group, &point, MBEDTLS_ECP_PF_UNCOMPRESSED, &length, raw.data(), raw.size());
    raw.resize(length);
    Bytes out = derLength(raw.size());
    out.insert(out.begin(), 0x04);
    out.insert(out.end(), raw.begin(), raw.end());
    return out;
}

Rv loadRsa(const Object& key, RsaContext& ctx) {
    Mpi n, p, q, d, e;
    auto read = [&key](Mpi& target, uint32_t type) {
        const Bytes* v = key.find(type);
        return !v || v->empty() || mpiRead(*target.get(), *v);
    };
    if (!read(n, CKA_MODULUS) || !read(e, CKA_PUBLIC_EXPONENT) || !read(d, CKA_PRIVATE_EXPONENT) ||
        !read(p, CKA_PRIME_1) || !read(q, CKA_PRIME_2))
        return CKR_ATTRIBUTE_VALUE_INVALID;
    bool priv = key.objectClass() == CKO_PRIVATE_KEY;
    auto given = [&key](uint32_t type) { return key.has(type) && !key.find(type)->empty(); };
    int rc = mbedtls_rsa_import(ctx.get(), n.get(), given(CKA_PRIME_1) && priv ? p.get() : nullptr,
                                given(CKA_PRIME_2) && priv ? q.get() : nullptr,
                                priv ? d.get() : nullptr, given(CKA_PUBLIC_EXPONENT) ? e.get() : nullptr);
    if (rc != 0 || mbedtls_rsa_complete(ctx.get()) != 0) return CKR_ATTRIBUTE_VALUE_INVALID;
    rc = priv ? mbedtls_rsa_check_privkey(ctx.get()) : mbedtls_rsa_check_pubkey(ctx.get());
    return rc == 0 ? CKR_OK : CKR_ATTRIBUTE_VALUE_INVALID;
}

void storeRsa(const mbedtls_rsa_context& ctx, Object& pub, Object* priv) {
    Mpi n, p, q, d, e, dp, dq, qp;
    mbedtls_rsa_export(&ctx, n.get(), p.get(), q.get(), d.get(), e.get());
    Bytes modulus = mpiBytes(*n.get());
    pub.set(CKA_MODULUS, modulus);
    pub.set(CKA_PUBLIC_EXPONENT, mpiBytes(*e.get()));
    if (pub.objectClass() == CKO_PUBLIC_KEY) pub.setNumber(CKA_MODULUS_BITS, uint32_t(mbedtls_mpi_bitlen(n.get())));
    if (!priv) return;
    mbedtls_rsa_export_crt(&ctx, dp.get(), dq.get(), qp.get());
    priv->set(CKA_MODULUS, modulus);
    priv->set(CKA_PUBLIC_EXPONENT, mpiBytes(*e.get()));
    priv->set(CKA_PRIVATE_EXPONENT, mpiBytes(*d.get()));
    priv->set(CKA_PRIME_1, mpiBytes(*p.get()));
    priv->set(CKA_PRIME_2, mpiBytes(*q.get()));
    priv->set(CKA_EXPONENT_1, mpiBytes(*dp.get()));
    priv->set(CKA_EXPONENT_2, mpiBytes(*dq.get()));
    priv->set(CKA_COEFFICIENT, mpiBytes(*qp.get()));
}

Rv loadEcPublic(const Object& key, EcGroup& group, EcPoint& q) {
    mbedtls_ecp_group_id id = curveFromParams(key.bytes(CKA_EC_PARAMS));
    if (id == MBEDTLS_ECP_DP_NONE) return CKR_CURVE_NOT_SUPPORTED;
    if (mbedtls_ecp_group_load(group.get(), id) != 0) return CKR_DEVICE_ERROR;
    return readPoint(*group.get(), key.bytes(CKA_EC_POINT), *q.get()) ? CKR_OK : CKR_ATTRIBUTE_VALUE_INVALID;
}

Rv loadEcPrivate(const Object& key, EcGroup& group, Mpi& d) {
    mbedtls_ecp_group_id id = curveFromParams(key.bytes(CKA_EC_PARAMS));
    if (id == MBEDTLS_ECP_DP_NONE) return CKR_CURVE_NOT_SUPPORTED;
    if (mbedtls_ecp_group_load(group.get(), id) != 0) return CKR_DEVICE_ERROR;
    if (!mpiRead(*d.get(), key.bytes(CKA_VALUE)) || mbedtls_ecp_check_privkey(group.get(), d.get()) != 0)
        return CKR_ATTRIBUTE_VALUE_INVALID;
    return CKR_OK;
}

bool secretLengthOk(uint32_t keyType, size_t length) {
    switch (keyType) {
    case CKK_AES: return length == 16 || length == 24 || length == 32;
    case CKK_DES: return length == 8;
    case CKK_DES2: return length == 16;
    case CKK_DES3: return length == 24;
    case CKK_GENERIC_SECRET: return length >= 1 && length <= 512;
    default: return false;
    }
}

Rv checkKeyMaterial(Object& key) {
    switch (key.objectClass()) {
    case CKO_SECRET_KEY:
        return checkSecret(key);
    case CKO_PUBLIC_KEY:
    case CKO_PRIVATE_KEY:
        if (key.keyType() == CKK_RSA) return checkRsa(key);
        if (key.keyType() == CKK_EC) return checkEc(key);
        if (key.keyType() == CKK_DH) return checkDhKey(key);
        return CKR_ATTRIBUTE_VALUE_INVALID;
    default:
        return CKR_OK;
    }
}

}  // namespace dravenholt::sim
