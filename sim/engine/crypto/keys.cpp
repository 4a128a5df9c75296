#include "crypto/keys.h"

#include <array>
#include <cstring>

#include <openssl/obj_mac.h>

#include "crypto/crypto.h"

namespace dravenholt::sim {
namespace {

const std::array<Curve, 3>& curves() {
    static const std::array<Curve, 3> list = {{
        {"prime256v1", NID_X9_62_prime256v1, {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07}, 32},
        {"secp384r1", NID_secp384r1, {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22}, 48},
        {"secp521r1", NID_secp521r1, {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x23}, 66},
    }};
    return list;
}

// DER length prefix of a short or one/two-byte long form.
Bytes derLength(size_t n) {
    if (n < 0x80) return {uint8_t(n)};
    if (n < 0x100) return {0x81, uint8_t(n)};
    return {0x82, uint8_t(n >> 8), uint8_t(n)};
}

const EC_GROUP* group(const Curve& curve) {
    static const std::array<EC_GROUP*, 3> groups = {EC_GROUP_new_by_curve_name(curves()[0].nid),
                                                   EC_GROUP_new_by_curve_name(curves()[1].nid),
                                                   EC_GROUP_new_by_curve_name(curves()[2].nid)};
    return groups[size_t(&curve - curves().data())];
}

// A private key's public point, d times the generator.
Bytes publicPoint(const Curve& curve, const BIGNUM* d) {
    const EC_GROUP* g = group(curve);
    ossl::EcPoint q(EC_POINT_new(g));
    Bytes out(1 + 2 * curve.fieldBytes);
    if (!q || EC_POINT_mul(g, q.get(), d, nullptr, nullptr, nullptr) != 1 ||
        EC_POINT_point2oct(g, q.get(), POINT_CONVERSION_UNCOMPRESSED, out.data(), out.size(), nullptr) != out.size())
        return {};
    return out;
}

Rv parseEc(const Object& key, ossl::Pkey& out) {
    const Curve* curve = curveFromParams(key.bytes(CKA_EC_PARAMS));
    if (!curve) return CKR_CURVE_NOT_SUPPORTED;
    ossl::ParamBuild build(OSSL_PARAM_BLD_new());
    if (!build) return CKR_DEVICE_MEMORY;
    OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, curve->name, 0);
    Bytes point;
    ossl::Bn d;
    bool priv = key.objectClass() == CKO_PRIVATE_KEY;
    if (priv) {
        d = ossl::bnFrom(key.bytes(CKA_VALUE));
        if (!d || BN_is_zero(d.get()) || BN_cmp(d.get(), EC_GROUP_get0_order(group(*curve))) >= 0)
            return CKR_ATTRIBUTE_VALUE_INVALID;
        point = publicPoint(*curve, d.get());
        if (point.empty()) return CKR_DEVICE_ERROR;
        OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get());
    } else if (!readPoint(*curve, key.bytes(CKA_EC_POINT), point)) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
    return keyFromParams("EC", build.get(), priv, out);
}

Rv checkEc(Object& key) {
    if (!key.has(CKA_EC_PARAMS)) return CKR_TEMPLATE_INCOMPLETE;
    bool pub = key.objectClass() == CKO_PUBLIC_KEY;
    if (!key.has(pub ? CKA_EC_POINT : CKA_VALUE)) return CKR_TEMPLATE_INCOMPLETE;
    ossl::Pkey pkey;
    if (Rv rv = parseEc(key, pkey); rv != CKR_OK) return rv;
    if (pub) {
        Bytes point;
        readPoint(*curveFromParams(key.bytes(CKA_EC_PARAMS)), key.bytes(CKA_EC_POINT), point);
        key.set(CKA_EC_POINT, pointAttribute(point));
    }
    key.keepParsedKey(ossl::share(std::move(pkey)));
    return CKR_OK;
}

void storeEc(EVP_PKEY* pkey, Object* pub, Object* priv) {
    char name[32] = {};
    const Curve* curve = EVP_PKEY_get_utf8_string_param(pkey, OSSL_PKEY_PARAM_GROUP_NAME, name, sizeof name, nullptr)
                             ? curveFromName(name)
                             : nullptr;
    if (!curve) return;
    if (pub) {
        Bytes point(1 + 2 * curve->fieldBytes);
        size_t length = 0;
        EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &length);
        pub->set(CKA_EC_PARAMS, curve->oid);
        pub->set(CKA_EC_POINT, pointAttribute(point));
    }
    if (priv) {
        priv->set(CKA_EC_PARAMS, curve->oid);
        priv->set(CKA_VALUE, ossl::keyNumber(pkey, OSSL_PKEY_PARAM_PRIV_KEY, curve->fieldBytes));
    }
}

}  // namespace

const Curve* curveFromParams(const Bytes& ecParams) {
    for (const Curve& c : curves())
        if (c.oid == ecParams) return &c;
    return nullptr;
}

const Curve* curveFromName(const char* name) {
    for (const Curve& c : curves())
        if (std::strcmp(c.name, name) == 0 || OBJ_sn2nid(name) == c.nid || EC_curve_nist2nid(name) == c.nid)
            return &c;
    return nullptr;
}

bool readPoint(const Curve& curve, const Bytes& encoded, Bytes& point) {
    size_t raw = 1 + 2 * curve.fieldBytes;
    point = encoded;
    if (encoded.size() != raw) {
        Bytes prefix = derLength(raw);
        prefix.insert(prefix.begin(), 0x04);
        if (encoded.size() != prefix.size() + raw || !std::equal(prefix.begin(), prefix.end(), encoded.begin()))
            return false;
        point.assign(encoded.begin() + long(prefix.size()), encoded.end());
    }
    if (point[0] != 0x04) return false;
    const EC_GROUP* g = group(curve);
    ossl::EcPoint q(EC_POINT_new(g));
    return q && EC_POINT_oct2point(g, q.get(), point.data(), point.size(), nullptr) == 1 &&
           EC_POINT_is_on_curve(g, q.get(), nullptr) == 1 && !EC_POINT_is_at_infinity(g, q.get());
}

Bytes pointAttribute(const Bytes& point) {
    Bytes out = derLength(point.size());
    out.insert(out.begin(), 0x04);
    out.insert(out.end(), point.begin(), point.end());
    return out;
}

Rv keyFromParams(const char* type, OSSL_PARAM_BLD* build, bool priv, ossl::Pkey& out) {
    ossl::Params params(OSSL_PARAM_BLD_to_param(build));
    ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1) return CKR_DEVICE_ERROR;
    EVP_PKEY* made = nullptr;
    if (EVP_PKEY_fromdata(ctx.get(), &made, priv ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return CKR_ATTRIBUTE_VALUE_INVALID;
    out.reset(made);
    return CKR_OK;
}

Rv parseKey(const Object& key, ossl::Pkey& out) {
    if (key.objectClass() != CKO_PUBLIC_KEY && key.objectClass() != CKO_PRIVATE_KEY) return CKR_KEY_TYPE_INCONSISTENT;
    switch (key.keyType()) {
    case CKK_RSA: return parseRsa(key, out);
    case CKK_EC: return parseEc(key, out);
    case CKK_DSA:
    case CKK_DH: return parseFiniteField(key, out);
    default: return CKR_KEY_TYPE_INCONSISTENT;
    }
}

Rv loadKey(const Object& key, ossl::SharedKey& out) {
    if (key.parsedKey()) {
        out = key.parsedKey();
        return CKR_OK;
    }
    ossl::Pkey parsed;
    if (Rv rv = parseKey(key, parsed); rv != CKR_OK) return rv;
    out = ossl::share(std::move(parsed));
    key.keepParsedKey(out);
    return CKR_OK;
}

Rv storeKey(EVP_PKEY* pkey, uint32_t keyType, Object* pub, Object* priv) {
    switch (keyType) {
    case CKK_RSA: storeRsa(pkey, pub, priv); break;
    case CKK_EC: storeEc(pkey, pub, priv); break;
    case CKK_DSA:
    case CKK_DH: storeFiniteField(pkey, keyType, pub, priv); break;
    default: return CKR_KEY_TYPE_INCONSISTENT;
    }
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
    case CKO_SECRET_KEY: {
        if (!key.has(CKA_VALUE)) return CKR_TEMPLATE_INCOMPLETE;
        size_t length = key.find(CKA_VALUE)->size();
        if (!secretLengthOk(key.keyType(), length)) return CKR_ATTRIBUTE_VALUE_INVALID;
        if (key.has(CKA_VALUE_LEN) && key.number(CKA_VALUE_LEN) != length) return CKR_TEMPLATE_INCONSISTENT;
        key.setNumber(CKA_VALUE_LEN, uint32_t(length));
        return CKR_OK;
    }
    case CKO_PUBLIC_KEY:
    case CKO_PRIVATE_KEY:
        if (key.keyType() == CKK_RSA) return checkRsa(key);
        if (key.keyType() == CKK_EC) return checkEc(key);
        if (key.keyType() == CKK_DSA || key.keyType() == CKK_DH) return checkFiniteField(key);
        return CKR_ATTRIBUTE_VALUE_INVALID;
    default:
        return CKR_OK;
    }
}

}  // namespace dravenholt::sim
