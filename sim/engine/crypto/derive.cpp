// Key derivation: ECDH with the peer's public value (no key derivation function).
#include <mbedtls/ecdh.h>

#include "crypto/crypto.h"
#include "crypto/keys.h"

namespace dravenholt::sim {
namespace {

// Length of the derived key: the template's CKA_VALUE_LEN, the fixed length of its key
// type, or all of the shared secret for a generic secret.
Rv derivedLength(const Object& key, size_t available, size_t& length) {
    switch (key.keyType()) {
    case CKK_DES: length = 8; break;
    case CKK_DES2: length = 16; break;
    case CKK_DES3: length = 24; break;
    default:
        length = key.has(CKA_VALUE_LEN) ? key.number(CKA_VALUE_LEN) : available;
        if (key.keyType() == CKK_AES && !key.has(CKA_VALUE_LEN)) return CKR_TEMPLATE_INCOMPLETE;
        break;
    }
    if (length > available || !secretLengthOk(key.keyType(), length)) return CKR_TEMPLATE_INCONSISTENT;
    return CKR_OK;
}

Rv ecdh(Random& random, const wire::Mechanism& mech, const Object& base, Bytes& secret) {
    if (!mech.ecdhParams) return CKR_MECHANISM_PARAM_INVALID;
    const wire::EcdhParams& params = *mech.ecdhParams;
    if (params.kdf != CKD_NULL || !params.publicData) return CKR_MECHANISM_PARAM_INVALID;
    if (base.objectClass() != CKO_PRIVATE_KEY || base.keyType() != CKK_EC) return CKR_KEY_TYPE_INCONSISTENT;
    EcGroup group;
    Mpi d, z;
    EcPoint peer;
    if (Rv rv = loadEcPrivate(base, group, d); rv != CKR_OK) return rv;
    if (!readPoint(*group.get(), *params.publicData, *peer.get())) return CKR_MECHANISM_PARAM_INVALID;
    if (mbedtls_ecdh_compute_shared(group.get(), z.get(), peer.get(), d.get(), Random::callback, &random) != 0)
        return CKR_DEVICE_ERROR;
    secret = mpiBytes(*z.get(), fieldBytes(*group.get()));
    return CKR_OK;
}

}  // namespace

Rv deriveSecret(Random& random, const wire::Mechanism& mech, const Object& base, Object& key) {
    if (mech.mechanism != CKM_ECDH1_DERIVE) return CKR_MECHANISM_INVALID;
    Bytes secret;
    if (Rv rv = ecdh(random, mech, base, secret); rv != CKR_OK) return rv;
    size_t length;
    if (Rv rv = derivedLength(key, secret.size(), length); rv != CKR_OK) return rv;
    secret.resize(length);
    key.set(CKA_VALUE, std::move(secret));
    key.setNumber(CKA_VALUE_LEN, uint32_t(length));
    return CKR_OK;
}

}  // namespace dravenholt::sim
