// Key derivation: ECDH with the peer's public point (raw, or through the X9.63 key derivation
// function with optional shared data), DH with the peer's public value, and the encryption of
// data under the base key (ECB or CBC, AES or DES).
#include <openssl/dh.h>

#include "crypto/crypto.h"
#include "crypto/keys.h"
#include "crypto/mechanisms.h"
#include "crypto/symmetric.h"

namespace dravenholt::sim {
namespace {

// How long the derived key is: the template's CKA_VALUE_LEN or the fixed length of its key
// type; a generic secret without a length takes `natural` bytes. At most `available`.
Rv derivedLength(const Object& key, size_t natural, size_t available, size_t& length) {
    switch (key.keyType()) {
    case CKK_DES: length = 8; break;
    case CKK_DES2: length = 16; break;
    case CKK_DES3: length = 24; break;
    default:
        length = key.has(CKA_VALUE_LEN) ? key.number(CKA_VALUE_LEN) : natural;
        if (key.keyType() == CKK_AES && !key.has(CKA_VALUE_LEN)) return CKR_TEMPLATE_INCOMPLETE;
        break;
    }
    if (length > available || !secretLengthOk(key.keyType(), length)) return CKR_TEMPLATE_INCONSISTENT;
    return CKR_OK;
}

// The shared secret of our private key and the peer's public one, as wide as the field.
Rv agree(EVP_PKEY* ours, EVP_PKEY* peer, bool padded, Bytes& secret) {
    ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, ours, nullptr));
    size_t length = 0;
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || (padded && EVP_PKEY_CTX_set_dh_pad(ctx.get(), 1) != 1))
        return CKR_DEVICE_ERROR;
    if (EVP_PKEY_derive_set_peer_ex(ctx.get(), peer, 1) != 1) return CKR_MECHANISM_PARAM_INVALID;
    if (EVP_PKEY_derive(ctx.get(), nullptr, &length) != 1) return CKR_DEVICE_ERROR;
    secret.assign(length, 0);
    if (EVP_PKEY_derive(ctx.get(), secret.data(), &length) != 1) return CKR_MECHANISM_PARAM_INVALID;
    secret.resize(length);
    return CKR_OK;
}

// The public key of the peer in our key's domain, from the value the mechanism carries.
Rv peerKey(const Object& base, const Bytes& value, ossl::Pkey& out) {
    Object peer;
    peer.setNumber(CKA_CLASS, CKO_PUBLIC_KEY);
    peer.setNumber(CKA_KEY_TYPE, base.keyType());
    for (uint32_t type : {CKA_EC_PARAMS, CKA_PRIME, CKA_BASE})
        if (base.has(type)) peer.set(type, base.bytes(type));
    peer.set(base.keyType() == CKK_EC ? CKA_EC_POINT : CKA_VALUE, value);
    Rv rv = parseKey(peer, out);
    return rv == CKR_ATTRIBUTE_VALUE_INVALID ? CKR_MECHANISM_PARAM_INVALID : rv;
}

Hash kdfHash(uint32_t kdf) {
    switch (kdf) {
    case CKD_SHA1_KDF: return Hash::Sha1;
    case CKD_SHA224_KDF: return Hash::Sha224;
    case CKD_SHA256_KDF: return Hash::Sha256;
    case CKD_SHA384_KDF: return Hash::Sha384;
    case CKD_SHA512_KDF: return Hash::Sha512;
    default: return Hash::None;
    }
}

// ANSI X9.63: Hash(Z || counter || shared data) for counter 1, 2, ... until `length` bytes.
Rv x963(Hash hash, const Bytes& z, const Bytes& shared, size_t length, Bytes& out) {
    ossl::Kdf kdf(EVP_KDF_fetch(nullptr, "X963KDF", nullptr));
    ossl::KdfCtx ctx(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
    static const uint8_t none = 0;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(hashName(hash)), 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<uint8_t*>(z.data()), z.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO,
                                          const_cast<uint8_t*>(shared.empty() ? &none : shared.data()), shared.size()),
        OSSL_PARAM_construct_end(),
    };
    out.assign(length, 0);
    return ctx && EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) == 1 ? CKR_OK : CKR_DEVICE_ERROR;
}

Rv ecdh(const wire::Mechanism& mech, const Object& base, Object& key, Bytes& secret) {
    if (!mech.ecdhParams) return CKR_MECHANISM_PARAM_INVALID;
    const wire::EcdhParams& params = *mech.ecdhParams;
    Hash hash = kdfHash(params.kdf);
    const Bytes shared = params.sharedData.value_or(Bytes{});
    bool kdfOk = params.kdf == CKD_NULL ? shared.empty() : hash != Hash::None;
    if (!kdfOk || !params.publicData) return CKR_MECHANISM_PARAM_INVALID;
    if (base.objectClass() != CKO_PRIVATE_KEY || base.keyType() != CKK_EC) return CKR_KEY_TYPE_INCONSISTENT;
    ossl::SharedKey ours;
    ossl::Pkey peer;
    Bytes z;
    if (Rv rv = loadKey(base, ours); rv != CKR_OK) return rv;
    if (Rv rv = peerKey(base, *params.publicData, peer); rv != CKR_OK) return rv;
    if (Rv rv = agree(ours.get(), peer.get(), false, z); rv != CKR_OK) return rv;
    size_t length;
    Rv rv = hash == Hash::None ? derivedLength(key, z.size(), z.size(), length)
                               : derivedLength(key, hashSize(hash), kMaxMessage, length);
    if (rv == CKR_OK && hash == Hash::None) secret.assign(z.begin(), z.begin() + long(length));
    if (rv == CKR_OK && hash != Hash::None) rv = x963(hash, z, shared, length, secret);
    wipe(z);
    return rv;
}

Rv dh(const wire::Mechanism& mech, const Object& base, Object& key, Bytes& secret) {
    if (base.objectClass() != CKO_PRIVATE_KEY || base.keyType() != CKK_DH) return CKR_KEY_TYPE_INCONSISTENT;
    ossl::SharedKey ours;
    ossl::Pkey peer;
    if (Rv rv = loadKey(base, ours); rv != CKR_OK) return rv;
    if (Rv rv = peerKey(base, parameter(mech), peer); rv != CKR_OK) return rv;
    if (Rv rv = agree(ours.get(), peer.get(), true, secret); rv != CKR_OK) return rv;
    size_t length;
    if (Rv rv = derivedLength(key, secret.size(), secret.size(), length); rv != CKR_OK) return rv;
    secret.resize(length);
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

Rv encryptData(const EncryptData& e, const wire::Mechanism& mech, const Object& base, Object& key, Bytes& secret) {
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
    if (Rv rv = op->single(data, secret); rv != CKR_OK) return rv;
    size_t length;
    if (Rv rv = derivedLength(key, secret.size(), secret.size(), length); rv != CKR_OK) return rv;
    secret.resize(length);
    return CKR_OK;
}

Rv derive(const wire::Mechanism& mech, const Object& base, Object& key, Bytes& secret) {
    if (mech.mechanism == CKM_ECDH1_DERIVE) return ecdh(mech, base, key, secret);
    if (mech.mechanism == CKM_DH_PKCS_DERIVE) return dh(mech, base, key, secret);
    for (const EncryptData& e : kEncryptData)
        if (e.mechanism == mech.mechanism) return encryptData(e, mech, base, key, secret);
    return CKR_MECHANISM_INVALID;
}

}  // namespace

Rv deriveSecret(const wire::Mechanism& mech, const Object& base, Object& key) {
    Bytes secret;
    if (Rv rv = derive(mech, base, key, secret); rv != CKR_OK) return rv;
    key.setNumber(CKA_VALUE_LEN, uint32_t(secret.size()));
    key.set(CKA_VALUE, std::move(secret));
    return CKR_OK;
}

}  // namespace dravenholt::sim
