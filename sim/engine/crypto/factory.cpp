// Chooses the operation for a mechanism after checking the key against it.
#include "crypto/asymmetric.h"
#include "crypto/crypto.h"
#include "crypto/hash_ops.h"
#include "crypto/symmetric.h"

namespace dravenholt::sim {
namespace {

bool keyTypeFits(const MechanismInfo& info, const Object& key) {
    uint32_t type = key.keyType();
    if (info.keyType == CKK_GENERIC_SECRET) return key.objectClass() == CKO_SECRET_KEY;
    if (info.keyType == CKK_DES3) return type == CKK_DES3 || type == CKK_DES2;
    return type == info.keyType;
}

BlockAlg blockAlg(uint32_t keyType) {
    if (keyType == CKK_AES) return BlockAlg::Aes;
    return keyType == CKK_DES ? BlockAlg::Des : BlockAlg::Des3;
}

// Finds the mechanism and checks the key's type and its permission for this use.
Rv resolve(uint32_t type, const Object& key, uint32_t usage, const MechanismInfo*& info) {
    info = findMechanism(type);
    if (!info) return CKR_MECHANISM_INVALID;
    if (!key.isKey() || !keyTypeFits(*info, key)) return CKR_KEY_TYPE_INCONSISTENT;
    if (!key.flag(usage)) return CKR_KEY_FUNCTION_NOT_PERMITTED;
    return CKR_OK;
}

}  // namespace

Rv makeCipher(const wire::Mechanism& mech, const Object& key, bool encrypt,
              uint32_t usage, std::unique_ptr<CipherOp>& out) {
    const MechanismInfo* info;
    if (Rv rv = resolve(mech.mechanism, key, usage, info); rv != CKR_OK) return rv;
    const Bytes& value = key.bytes(CKA_VALUE);
    switch (info->family) {
    case Family::BlockEcb:
        return makeBlockOp(blockAlg(key.keyType()), BlockMode::Ecb, value, {}, encrypt, out);
    case Family::BlockCbc:
        return makeBlockOp(blockAlg(key.keyType()), BlockMode::Cbc, value, parameter(mech), encrypt, out);
    case Family::BlockCbcPad:
        return makeBlockOp(blockAlg(key.keyType()), BlockMode::CbcPad, value, parameter(mech), encrypt, out);
    case Family::Ctr:
        return makeCtrOp(value, parameter(mech), out);
    case Family::AesWrap:
    case Family::AesWrapPad:
        return makeKeyWrapOp(value, info->family == Family::AesWrapPad, parameter(mech), encrypt, out);
    case Family::RsaPkcs:
    case Family::RsaX509:
    case Family::RsaOaep:
        return makeRsaCipher(*info, mech, key, encrypt, out);
    default:
        return CKR_MECHANISM_INVALID;
    }
}

Rv makeSigner(const wire::Mechanism& mech, const Object& key, bool sign,
              std::unique_ptr<SignOp>& out) {
    const MechanismInfo* info;
    if (Rv rv = resolve(mech.mechanism, key, sign ? CKA_SIGN : CKA_VERIFY, info); rv != CKR_OK) return rv;
    switch (info->family) {
    case Family::Hmac:
        out = makeHmacOp(info->md, key.bytes(CKA_VALUE));
        return out ? CKR_OK : CKR_DEVICE_ERROR;
    case Family::Cmac:
        out = makeCmacOp(key.bytes(CKA_VALUE));
        return out ? CKR_OK : CKR_KEY_SIZE_RANGE;
    case Family::RsaPkcs:
    case Family::RsaX509:
    case Family::RsaPss:
        return makeRsaSigner(*info, mech, key, sign, out);
    case Family::Ecdsa:
    case Family::Dsa:
        return makeDsaSigner(*info, key, sign, out);
    default:
        return CKR_MECHANISM_INVALID;
    }
}

Rv makeDigest(const wire::Mechanism& mech, std::unique_ptr<DigestOp>& out) {
    const MechanismInfo* info = findMechanism(mech.mechanism);
    if (!info || info->family != Family::Digest) return CKR_MECHANISM_INVALID;
    out = makeDigestOp(info->md);
    return out ? CKR_OK : CKR_DEVICE_ERROR;
}

}  // namespace dravenholt::sim
