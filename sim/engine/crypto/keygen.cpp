// Secret key and key pair generation.
#include <mbedtls/des.h>

#include "crypto/crypto.h"
#include "crypto/dh.h"
#include "crypto/keys.h"

namespace dravenholt::sim {
namespace {

Rv generateRsa(Random& random, Object& pub, Object& priv) {
    if (!pub.has(CKA_MODULUS_BITS)) return CKR_TEMPLATE_INCOMPLETE;
    uint32_t bits = pub.number(CKA_MODULUS_BITS);
    if (bits < 1024 || bits > 4096) return CKR_KEY_SIZE_RANGE;
    int exponent = 65537;
    if (const Bytes* e = pub.find(CKA_PUBLIC_EXPONENT); e && !e->empty()) {
        uint64_t value = 0;
        for (uint8_t b : *e) {
            value = value << 8 | b;
            if (value > 0x7FFFFFFF) return CKR_ATTRIBUTE_VALUE_INVALID;
        }
        if (value < 3 || value % 2 == 0) return CKR_ATTRIBUTE_VALUE_INVALID;
        exponent = int(value);
    }
    RsaContext ctx;
    if (mbedtls_rsa_gen_key(ctx.get(), Random::callback, &random, bits, exponent) != 0) return CKR_DEVICE_ERROR;
    storeRsa(*ctx.get(), pub, &priv);
    return CKR_OK;
}

Rv generateEc(Random& random, Object& pub, Object& priv) {
    if (!pub.has(CKA_EC_PARAMS)) return CKR_TEMPLATE_INCOMPLETE;
    Bytes params = pub.bytes(CKA_EC_PARAMS);
    mbedtls_ecp_group_id id = curveFromParams(params);
    if (id == MBEDTLS_ECP_DP_NONE) return CKR_CURVE_NOT_SUPPORTED;
    if (priv.has(CKA_EC_PARAMS) && priv.bytes(CKA_EC_PARAMS) != params) return CKR_TEMPLATE_INCONSISTENT;
    EcGroup group;
    Mpi d;
    EcPoint q;
    if (mbedtls_ecp_group_load(group.get(), id) != 0 ||
        mbedtls_ecp_gen_keypair(group.get(), d.get(), q.get(), Random::callback, &random) != 0)
        return CKR_DEVICE_ERROR;
    pub.set(CKA_EC_POINT, pointAttribute(*group.get(), *q.get()));
    priv.set(CKA_EC_PARAMS, params);
    priv.set(CKA_VALUE, mpiBytes(*d.get(), (group.get()->nbits + 7) / 8));
    return CKR_OK;
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
    if (mechanism == CKM_DES_KEY_GEN || mechanism == CKM_DES2_KEY_GEN || mechanism == CKM_DES3_KEY_GEN)
        for (size_t i = 0; i < length; i += 8) mbedtls_des_key_set_parity(value.data() + i);
    key.set(CKA_VALUE, std::move(value));
    key.setNumber(CKA_VALUE_LEN, uint32_t(length));
    return CKR_OK;
}

Rv generatePair(Random& random, const wire::Mechanism& mech, Object& pub, Object& priv) {
    if (mech.mechanism == CKM_RSA_PKCS_KEY_PAIR_GEN) return generateRsa(random, pub, priv);
    if (mech.mechanism == CKM_EC_KEY_PAIR_GEN) return generateEc(random, pub, priv);
    if (mech.mechanism == CKM_DH_PKCS_KEY_PAIR_GEN) return generateDhPair(random, pub, priv);
    return CKR_MECHANISM_INVALID;
}

Rv generateParameters(Random& random, uint32_t mechanism, Object& params) {
    if (mechanism == CKM_DH_PKCS_PARAMETER_GEN) return generateDhParameters(random, params);
    return CKR_MECHANISM_INVALID;
}

}  // namespace dravenholt::sim
