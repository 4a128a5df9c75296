#include "crypto/mechanisms.h"

namespace dravenholt::sim {
namespace {

constexpr Hash kNone = Hash::None;

const MechanismInfo kMechanisms[] = {
    {CKM_MD5, Family::Digest, Hash::Md5, 0},
    {CKM_SHA_1, Family::Digest, Hash::Sha1, 0},
    {CKM_SHA224, Family::Digest, Hash::Sha224, 0},
    {CKM_SHA256, Family::Digest, Hash::Sha256, 0},
    {CKM_SHA384, Family::Digest, Hash::Sha384, 0},
    {CKM_SHA512, Family::Digest, Hash::Sha512, 0},
    {CKM_MD5_HMAC, Family::Hmac, Hash::Md5, CKK_GENERIC_SECRET},
    {CKM_SHA_1_HMAC, Family::Hmac, Hash::Sha1, CKK_GENERIC_SECRET},
    {CKM_SHA224_HMAC, Family::Hmac, Hash::Sha224, CKK_GENERIC_SECRET},
    {CKM_SHA256_HMAC, Family::Hmac, Hash::Sha256, CKK_GENERIC_SECRET},
    {CKM_SHA384_HMAC, Family::Hmac, Hash::Sha384, CKK_GENERIC_SECRET},
    {CKM_SHA512_HMAC, Family::Hmac, Hash::Sha512, CKK_GENERIC_SECRET},
    {CKM_AES_ECB, Family::BlockEcb, kNone, CKK_AES},
    {CKM_AES_CBC, Family::BlockCbc, kNone, CKK_AES},
    {CKM_AES_CBC_PAD, Family::BlockCbcPad, kNone, CKK_AES},
    {CKM_AES_CTR, Family::Ctr, kNone, CKK_AES},
    {CKM_AES_CMAC, Family::Cmac, kNone, CKK_AES},
    {CKM_DES_ECB, Family::BlockEcb, kNone, CKK_DES},
    {CKM_DES_CBC, Family::BlockCbc, kNone, CKK_DES},
    {CKM_DES_CBC_PAD, Family::BlockCbcPad, kNone, CKK_DES},
    {CKM_DES3_ECB, Family::BlockEcb, kNone, CKK_DES3},
    {CKM_DES3_CBC, Family::BlockCbc, kNone, CKK_DES3},
    {CKM_DES3_CBC_PAD, Family::BlockCbcPad, kNone, CKK_DES3},
    {CKM_RSA_PKCS, Family::RsaPkcs, kNone, CKK_RSA},
    {CKM_RSA_X_509, Family::RsaX509, kNone, CKK_RSA},
    {CKM_RSA_PKCS_OAEP, Family::RsaOaep, kNone, CKK_RSA},
    {CKM_MD5_RSA_PKCS, Family::RsaPkcs, Hash::Md5, CKK_RSA},
    {CKM_SHA1_RSA_PKCS, Family::RsaPkcs, Hash::Sha1, CKK_RSA},
    {CKM_SHA224_RSA_PKCS, Family::RsaPkcs, Hash::Sha224, CKK_RSA},
    {CKM_SHA256_RSA_PKCS, Family::RsaPkcs, Hash::Sha256, CKK_RSA},
    {CKM_SHA384_RSA_PKCS, Family::RsaPkcs, Hash::Sha384, CKK_RSA},
    {CKM_SHA512_RSA_PKCS, Family::RsaPkcs, Hash::Sha512, CKK_RSA},
    {CKM_RSA_PKCS_PSS, Family::RsaPss, kNone, CKK_RSA},
    {CKM_SHA1_RSA_PKCS_PSS, Family::RsaPss, Hash::Sha1, CKK_RSA},
    {CKM_SHA224_RSA_PKCS_PSS, Family::RsaPss, Hash::Sha224, CKK_RSA},
    {CKM_SHA256_RSA_PKCS_PSS, Family::RsaPss, Hash::Sha256, CKK_RSA},
    {CKM_SHA384_RSA_PKCS_PSS, Family::RsaPss, Hash::Sha384, CKK_RSA},
    {CKM_SHA512_RSA_PKCS_PSS, Family::RsaPss, Hash::Sha512, CKK_RSA},
    {CKM_ECDSA, Family::Ecdsa, kNone, CKK_EC},
    {CKM_ECDSA_SHA1, Family::Ecdsa, Hash::Sha1, CKK_EC},
    {CKM_ECDSA_SHA224, Family::Ecdsa, Hash::Sha224, CKK_EC},
    {CKM_ECDSA_SHA256, Family::Ecdsa, Hash::Sha256, CKK_EC},
    {CKM_ECDSA_SHA384, Family::Ecdsa, Hash::Sha384, CKK_EC},
    {CKM_ECDSA_SHA512, Family::Ecdsa, Hash::Sha512, CKK_EC},
    {CKM_DSA, Family::Dsa, kNone, CKK_DSA},
    {CKM_DSA_SHA1, Family::Dsa, Hash::Sha1, CKK_DSA},
    {CKM_DSA_SHA224, Family::Dsa, Hash::Sha224, CKK_DSA},
    {CKM_DSA_SHA256, Family::Dsa, Hash::Sha256, CKK_DSA},
    {CKM_DSA_SHA384, Family::Dsa, Hash::Sha384, CKK_DSA},
    {CKM_DSA_SHA512, Family::Dsa, Hash::Sha512, CKK_DSA},
    {CKM_AES_KEY_WRAP, Family::AesWrap, kNone, CKK_AES},
    {CKM_AES_KEY_WRAP_PAD, Family::AesWrapPad, kNone, CKK_AES},
};

}  // namespace

const MechanismInfo* findMechanism(uint32_t type) {
    for (const MechanismInfo& m : kMechanisms)
        if (m.type == type) return &m;
    return nullptr;
}

Hash hashOfMechanism(uint32_t ckm) {
    const MechanismInfo* m = findMechanism(ckm);
    return m && m->family == Family::Digest ? m->md : kNone;
}

Hash hashOfMgf(uint32_t ckg) {
    switch (ckg) {
    case CKG_MGF1_SHA1: return Hash::Sha1;
    case CKG_MGF1_SHA224: return Hash::Sha224;
    case CKG_MGF1_SHA256: return Hash::Sha256;
    case CKG_MGF1_SHA384: return Hash::Sha384;
    case CKG_MGF1_SHA512: return Hash::Sha512;
    default: return kNone;
    }
}

const Bytes& parameter(const wire::Mechanism& mech) {
    static const Bytes empty;
    return mech.parameter ? *mech.parameter : empty;
}

Rv parsePss(const wire::Mechanism& mech, PssParams& out) {
    const Bytes& p = parameter(mech);
    if (p.size() != 12) return CKR_MECHANISM_PARAM_INVALID;
    out.hash = hashOfMechanism(readLe32(p.data()));
    out.mgf = hashOfMgf(readLe32(p.data() + 4));
    out.saltLength = readLe32(p.data() + 8);
    if (out.hash == kNone || out.hash == Hash::Md5 || out.mgf == kNone || out.saltLength > 1024)
        return CKR_MECHANISM_PARAM_INVALID;
    return CKR_OK;
}

Rv parseOaep(const wire::Mechanism& mech, OaepParams& out) {
    if (!mech.oaepParams) return CKR_MECHANISM_PARAM_INVALID;
    const wire::OaepParams& p = *mech.oaepParams;
    out.hash = hashOfMechanism(p.hashAlg);
    out.mgf = hashOfMgf(p.mgf);
    if (out.hash == kNone || out.hash == Hash::Md5 || out.mgf == kNone) return CKR_MECHANISM_PARAM_INVALID;
    // A source of 0 without data is taken as "no label", as many callers pass it.
    uint32_t source = p.source.value_or(CKZ_DATA_SPECIFIED);
    if (source != CKZ_DATA_SPECIFIED && (source != 0 || p.sourceData)) return CKR_MECHANISM_PARAM_INVALID;
    out.label = p.sourceData.value_or(Bytes{});
    if (p.sourceDataLength && *p.sourceDataLength != out.label.size()) return CKR_MECHANISM_PARAM_INVALID;
    return CKR_OK;
}

}  // namespace dravenholt::sim
