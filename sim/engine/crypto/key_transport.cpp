// The plain form of a key when it is wrapped: a secret key's value, or a private key as a
// PKCS#8 PrivateKeyInfo around mbedtls's PKCS#1 or SEC1 encoding.
#include <mbedtls/asn1write.h>
#include <mbedtls/oid.h>
#include <mbedtls/pk.h>

#include "crypto/crypto.h"
#include "crypto/keys.h"

namespace dravenholt::sim {
namespace {

using PkContext = MbedHolder<mbedtls_pk_context, mbedtls_pk_init, mbedtls_pk_free>;

Rv loadPk(const Object& key, PkContext& pk) {
    if (key.keyType() == CKK_RSA) {
        RsaContext rsa;
        if (Rv rv = loadRsa(key, rsa); rv != CKR_OK) return rv;
        if (mbedtls_pk_setup(pk.get(), mbedtls_pk_info_from_type(MBEDTLS_PK_RSA)) != 0 ||
            mbedtls_rsa_copy(mbedtls_pk_rsa(*pk.get()), rsa.get()) != 0)
            return CKR_DEVICE_ERROR;
        return CKR_OK;
    }
    if (key.keyType() == CKK_EC) {
        EcGroup group;
        Mpi d;
        if (Rv rv = loadEcPrivate(key, group, d); rv != CKR_OK) return rv;
        if (mbedtls_pk_setup(pk.get(), mbedtls_pk_info_from_type(MBEDTLS_PK_ECKEY)) != 0) return CKR_DEVICE_ERROR;
        mbedtls_ecp_keypair* ec = mbedtls_pk_ec(*pk.get());
        if (mbedtls_ecp_group_load(&ec->grp, group.get()->id) != 0 || mbedtls_mpi_copy(&ec->d, d.get()) != 0 ||
            mbedtls_ecp_mul(&ec->grp, &ec->Q, &ec->d, &ec->grp.G, nullptr, nullptr) != 0)
            return CKR_DEVICE_ERROR;
        return CKR_OK;
    }
    return CKR_KEY_NOT_WRAPPABLE;
}

// PrivateKeyInfo ::= SEQUENCE { version 0, AlgorithmIdentifier, OCTET STRING inner }.
Rv pkcs8(const Object& key, PkContext& pk, Bytes& out) {
    Bytes buffer(8192);
    unsigned char* start = buffer.data();
    int innerLength = mbedtls_pk_write_key_der(pk.get(), start, buffer.size());
    if (innerLength <= 0) return CKR_DEVICE_ERROR;
    Bytes inner(buffer.end() - innerLength, buffer.end());
    unsigned char* p = buffer.data() + buffer.size();
    size_t len = 0;
    int rc;
    auto add = [&](int n) {
        if (n < 0) rc = n; else len += size_t(n);
    };
    rc = 0;
    add(mbedtls_asn1_write_octet_string(&p, start, inner.data(), inner.size()));
    int params;
    const char* oid;
    size_t oidLength;
    if (key.keyType() == CKK_RSA) {
        params = mbedtls_asn1_write_null(&p, start);
        oid = MBEDTLS_OID_PKCS1_RSA;
        oidLength = MBEDTLS_OID_SIZE(MBEDTLS_OID_PKCS1_RSA);
    } else {
        Bytes curve = key.bytes(CKA_EC_PARAMS);
        params = mbedtls_asn1_write_raw_buffer(&p, start, curve.data(), curve.size());
        oid = MBEDTLS_OID_EC_ALG_UNRESTRICTED;
        oidLength = MBEDTLS_OID_SIZE(MBEDTLS_OID_EC_ALG_UNRESTRICTED);
    }
    if (params <= 0) return CKR_DEVICE_ERROR;
    // The identifier's length includes the parameters written just before it.
    add(mbedtls_asn1_write_algorithm_identifier(&p, start, oid, oidLength, size_t(params)));
    add(mbedtls_asn1_write_int(&p, start, 0));
    add(mbedtls_asn1_write_len(&p, start, len));
    add(mbedtls_asn1_write_tag(&p, start, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE));
    wipe(inner);
    if (rc != 0) return CKR_DEVICE_ERROR;
    out.assign(p, buffer.data() + buffer.size());
    wipe(buffer);
    return CKR_OK;
}

}  // namespace

Rv exportKey(const Object& key, Bytes& out) {
    if (key.objectClass() == CKO_SECRET_KEY) {
        out = key.bytes(CKA_VALUE);
        return CKR_OK;
    }
    if (key.objectClass() != CKO_PRIVATE_KEY) return CKR_KEY_NOT_WRAPPABLE;
    PkContext pk;
    if (Rv rv = loadPk(key, pk); rv != CKR_OK) return rv;
    return pkcs8(key, pk, out);
}

Rv importKey(const Bytes& in, Object& key) {
    if (key.objectClass() == CKO_SECRET_KEY) {
        Bytes value = in;
        // Unpadded block modes leave trailing bytes; the template's length says what to keep.
        if (key.has(CKA_VALUE_LEN) && key.number(CKA_VALUE_LEN) < value.size())
            value.resize(key.number(CKA_VALUE_LEN));
        key.set(CKA_VALUE, std::move(value));
        Rv rv = checkKeyMaterial(key);
        return rv == CKR_OK ? rv : CKR_WRAPPED_KEY_INVALID;
    }
    PkContext pk;
    if (mbedtls_pk_parse_key(pk.get(), in.data(), in.size(), nullptr, 0) != 0) return CKR_WRAPPED_KEY_INVALID;
    mbedtls_pk_type_t type = mbedtls_pk_get_type(pk.get());
    if (type == MBEDTLS_PK_RSA && key.keyType() == CKK_RSA) {
        Object pub;
        pub.setNumber(CKA_CLASS, CKO_PRIVATE_KEY);
        storeRsa(*mbedtls_pk_rsa(*pk.get()), pub, &key);
    } else if (type == MBEDTLS_PK_ECKEY && key.keyType() == CKK_EC) {
        const mbedtls_ecp_keypair* ec = mbedtls_pk_ec(*pk.get());
        Bytes params = paramsFromCurve(ec->grp.id);
        if (params.empty()) return CKR_CURVE_NOT_SUPPORTED;
        key.set(CKA_EC_PARAMS, params);
        key.set(CKA_VALUE, mpiBytes(ec->d, (ec->grp.nbits + 7) / 8));
    } else {
        return CKR_WRAPPED_KEY_INVALID;
    }
    return checkKeyMaterial(key) == CKR_OK ? CKR_OK : CKR_WRAPPED_KEY_INVALID;
}

}  // namespace dravenholt::sim
