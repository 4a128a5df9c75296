// Secret keys, key pairs and domain parameters.
#include <openssl/rsa.h>

#include "crypto/crypto.h"
#include "crypto/keys.h"

namespace dravenholt::sim {
namespace {

// CKA_PRIME_BITS and CKA_SUB_PRIME_BITS travel in the bytes form: a host CK_ULONG, 4 or 8 bytes
// little-endian.
bool readUlong(const Bytes& value, uint64_t& out) {
    if (value.size() != 4 && value.size() != 8) return false;
    out = 0;
    for (size_t i = value.size(); i-- > 0;) out = out << 8 | value[i];
    return true;
}

// Runs a key or parameter generation on a context that `setup` prepared after its init.
template <class Setup>
Rv generate(ossl::PkeyCtx ctx, bool parameters, Setup setup, ossl::Pkey& out) {
    EVP_PKEY* made = nullptr;
    if (!ctx || (parameters ? EVP_PKEY_paramgen_init(ctx.get()) : EVP_PKEY_keygen_init(ctx.get())) != 1)
        return CKR_DEVICE_ERROR;
    if (!setup(ctx.get())) return CKR_ATTRIBUTE_VALUE_INVALID;
    if ((parameters ? EVP_PKEY_paramgen(ctx.get(), &made) : EVP_PKEY_keygen(ctx.get(), &made)) != 1)
        return CKR_DEVICE_ERROR;
    out.reset(made);
    return CKR_OK;
}

ossl::PkeyCtx byName(const char* type) { return ossl::PkeyCtx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr)); }

Rv generateRsa(Object& pub, ossl::Pkey& out) {
    if (!pub.has(CKA_MODULUS_BITS)) return CKR_TEMPLATE_INCOMPLETE;
    uint32_t bits = pub.number(CKA_MODULUS_BITS);
    if (bits < 1024 || bits > 4096) return CKR_KEY_SIZE_RANGE;
    ossl::Bn exponent(BN_new());
    if (!exponent || !BN_set_word(exponent.get(), 65537)) return CKR_DEVICE_MEMORY;
    if (const Bytes* e = pub.find(CKA_PUBLIC_EXPONENT); e && !e->empty()) {
        exponent = ossl::bnFrom(*e);
        if (!exponent || BN_num_bits(exponent.get()) > 31 || !BN_is_odd(exponent.get()) ||
            BN_cmp(exponent.get(), BN_value_one()) <= 0)
            return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    return generate(byName("RSA"), false, [&](EVP_PKEY_CTX* c) {
        return EVP_PKEY_CTX_set_rsa_keygen_bits(c, int(bits)) == 1 &&
               EVP_PKEY_CTX_set1_rsa_keygen_pubexp(c, exponent.get()) == 1;
    }, out);
}

Rv generateEc(Object& pub, Object& priv, ossl::Pkey& out) {
    if (!pub.has(CKA_EC_PARAMS)) return CKR_TEMPLATE_INCOMPLETE;
    Bytes params = pub.bytes(CKA_EC_PARAMS);
    const Curve* curve = curveFromParams(params);
    if (!curve) return CKR_CURVE_NOT_SUPPORTED;
    if (priv.has(CKA_EC_PARAMS) && priv.bytes(CKA_EC_PARAMS) != params) return CKR_TEMPLATE_INCONSISTENT;
    return generate(byName("EC"), false, [&](EVP_PKEY_CTX* c) {
        return EVP_PKEY_CTX_set_group_name(c, curve->name) == 1;
    }, out);
}

// DSA and DH pairs in the domain the public template gives.
Rv generateInDomain(uint32_t keyType, Object& pub, Object& priv, ossl::Pkey& out) {
    ossl::Pkey domain;
    if (Rv rv = parseDomain(pub, keyType, domain); rv != CKR_OK) return rv;
    for (uint32_t type : {CKA_PRIME, CKA_SUBPRIME, CKA_BASE})
        if (priv.has(type) && priv.bytes(type) != pub.bytes(type)) return CKR_TEMPLATE_INCONSISTENT;
    ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, domain.get(), nullptr));
    return generate(std::move(ctx), false, [](EVP_PKEY_CTX*) { return true; }, out);
}

}  // namespace

Rv generateSecret(Random& random, uint32_t mechanism, Object& key) {
    uint32_t keyType = key.keyType();
    size_t length;
    switch (keyType) {
    case CKK_DES: length = 8; break;
    case CKK_DES2: length = 16; break;
    case CKK_DES3: length = 24; break;
    default:
        if (!key.has(CKA_VALUE_LEN)) return CKR_TEMPLATE_INCOMPLETE;
        length = key.number(CKA_VALUE_LEN);
        break;
    }
    if (!secretLengthOk(keyType, length)) return CKR_ATTRIBUTE_VALUE_INVALID;
    if (key.has(CKA_VALUE)) return CKR_TEMPLATE_INCONSISTENT;
    Bytes value = random.bytes(length);
    if (value.size() != length) return CKR_DEVICE_ERROR;
    // DES keys get odd parity in every byte.
    if (mechanism == CKM_DES_KEY_GEN || mechanism == CKM_DES2_KEY_GEN || mechanism == CKM_DES3_KEY_GEN)
        for (uint8_t& b : value) b = uint8_t((b & 0xFE) | ((__builtin_popcount(b & 0xFE) + 1) & 1));
    key.set(CKA_VALUE, std::move(value));
    key.setNumber(CKA_VALUE_LEN, uint32_t(length));
    return CKR_OK;
}

Rv generatePair(const wire::Mechanism& mech, Object& pub, Object& priv) {
    ossl::Pkey pkey;
    uint32_t keyType = pub.keyType();
    Rv rv;
    switch (mech.mechanism) {
    case CKM_RSA_PKCS_KEY_PAIR_GEN: rv = generateRsa(pub, pkey); break;
    case CKM_EC_KEY_PAIR_GEN: rv = generateEc(pub, priv, pkey); break;
    case CKM_DSA_KEY_PAIR_GEN:
    case CKM_DH_PKCS_KEY_PAIR_GEN: rv = generateInDomain(keyType, pub, priv, pkey); break;
    default: return CKR_MECHANISM_INVALID;
    }
    if (rv != CKR_OK) return rv;
    return storeKey(pkey.get(), keyType, &pub, &priv);
}

Rv generateParameters(uint32_t mechanism, Object& params) {
    if (mechanism != CKM_DSA_PARAMETER_GEN && mechanism != CKM_DH_PKCS_PARAMETER_GEN) return CKR_MECHANISM_INVALID;
    bool dsa = mechanism == CKM_DSA_PARAMETER_GEN;
    uint64_t bits = 0, subprimeBits = 0;
    if (!params.has(CKA_PRIME_BITS)) return CKR_TEMPLATE_INCOMPLETE;
    if (!readUlong(params.bytes(CKA_PRIME_BITS), bits)) return CKR_ATTRIBUTE_VALUE_INVALID;
    if (bits < uint64_t(kMinFieldBits) || bits > uint64_t(kMaxFieldBits)) return CKR_KEY_SIZE_RANGE;
    if (dsa) {
        // The subprime as the DSA standard pairs it with the prime, unless the template asks.
        subprimeBits = bits < 2048 ? 160 : 256;
        if (params.has(CKA_SUB_PRIME_BITS) && !readUlong(params.bytes(CKA_SUB_PRIME_BITS), subprimeBits))
            return CKR_ATTRIBUTE_VALUE_INVALID;
        if (subprimeBits != 160 && subprimeBits != 224 && subprimeBits != 256) return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    ossl::Pkey domain;
    Rv rv = generate(byName(dsa ? "DSA" : "DH"), true, [&](EVP_PKEY_CTX* c) {
        if (dsa)
            return EVP_PKEY_CTX_set_dsa_paramgen_bits(c, int(bits)) == 1 &&
                   EVP_PKEY_CTX_set_dsa_paramgen_q_bits(c, int(subprimeBits)) == 1;
        // A safe prime p = 2q + 1 with generator 2.
        return EVP_PKEY_CTX_set_dh_paramgen_prime_len(c, int(bits)) == 1 &&
               EVP_PKEY_CTX_set_dh_paramgen_generator(c, 2) == 1;
    }, domain);
    if (rv != CKR_OK) return rv;
    storeDomain(domain.get(), dsa ? CKK_DSA : CKK_DH, params);
    return CKR_OK;
}

}  // namespace dravenholt::sim
