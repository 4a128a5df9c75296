// Key derivation: ECDH and DH with the peer's public value (no key derivation function), and
// the encryption of data under the base key (ECB or CBC, AES or DES).
#include <mbedtls/ecdh.h>

#include "crypto/crypto.h"
#include "crypto/dh.h"
#include "crypto/keys.h"
#include "crypto/mechanisms.h"
#include "crypto/symmetric.h"

namespace dravenholt::sim {
namespace {

// Length of the derived key: the template's CKA_VALUE_LEN, the fixed length of its key
// type, or all of the derived bytes for a generic secret.
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

// The data to encrypt travels in the parameter block itself, after the IV for the CBC forms:
// a pointer to it would mean nothing to the device. Data must fill whole blocks.
struct EncryptData {
    uint32_t mechanism;
    BlockAlg alg;
    BlockMode mode;
    uint32_t keyType;
    size_t block;
};
constexpr EncryptData kEncryptData[] = {
    {CKM_DES_ECB_ENCRYPT_DATA, BlockAlg::Des, BlockMode::Ecb, CKK_DES, 8},
    {CKM_DES_CBC_ENCRYPT_DATA, BlockAlg::Des, BlockMode::Cbc, CKK_DES, 8},
    {CKM_DES3_ECB_ENCRYPT_DATA, BlockAlg::Des3, BlockMode::Ecb, CKK_DES3, 8},
    {CKM_DES3_CBC_ENCRYPT_DATA, BlockAlg::Des3, BlockMode::Cbc, CKK_DES3, 8},
    {CKM_AES_ECB_ENCRYPT_DATA, BlockAlg::Aes, BlockMode::Ecb, CKK_AES, 16},
    {CKM_AES_CBC_ENCRYPT_DATA, BlockAlg::Aes, BlockMode::Cbc, CKK_AES, 16},
};

Rv encryptData(const EncryptData& e, const wire::Mechanism& mech, const Object& base, Bytes& secret) {
    uint32_t type = base.keyType();
    bool fits = type == e.keyType || (e.keyType == CKK_DES3 && type == CKK_DES2);
    if (base.objectClass() != CKO_SECRET_KEY || !fits) return CKR_KEY_TYPE_INCONSISTENT;
    const Bytes& p = parameter(mech);
    size_t ivLength = e.mode == BlockMode::Cbc ? e.block : 0;
    if (p.size() <= ivLength || (p.size() - ivLength) % e.block != 0) return CKR_MECHANISM_PARAM_INVALID;
    Bytes iv(p.begin(), p.begin() + long(ivLength));
    Bytes data(p.begin() + long(ivLength), p.end());
    std::unique_ptr<CipherOp> op;
    if (Rv rv = makeBlockOp(e.alg, e.mode, base.bytes(CKA_VALUE), iv, true, op); rv != CKR_OK) return rv;
    return op->single(data, secret);
}

Rv derive(Random& random, const wire::Mechanism& mech, const Object& base, Bytes& secret) {
    if (mech.mechanism == CKM_ECDH1_DERIVE) return ecdh(random, mech, base, secret);
    if (mech.mechanism == CKM_DH_PKCS_DERIVE) {
        if (base.objectClass() != CKO_PRIVATE_KEY || base.keyType() != CKK_DH) return CKR_KEY_TYPE_INCONSISTENT;
        return dhSecret(random, base, parameter(mech), secret);
    }
    for (const EncryptData& e : kEncryptData)
        if (e.mechanism == mech.mechanism) return encryptData(e, mech, base, secret);
    return CKR_MECHANISM_INVALID;
}

}  // namespace

Rv deriveSecret(Random& random, const wire::Mechanism& mech, const Object& base, Object& key) {
    Bytes secret;
    if (Rv rv = derive(random, mech, base, secret); rv != CKR_OK) return rv;
    size_t length;
    if (Rv rv = derivedLength(key, secret.size(), length); rv != CKR_OK) return rv;
    secret.resize(length);
    key.set(CKA_VALUE, std::move(secret));
    key.setNumber(CKA_VALUE_LEN, uint32_t(length));
    return CKR_OK;
}

}  // namespace dravenholt::sim
