#include "crypto/mechanisms.h"

namespace dravenholt::sim {
namespace {

constexpr mbedtls_md_type_t kNone = MBEDTLS_MD_NONE;

const MechanismInfo kMechanisms[] = {
    {CKM_MD5, Family::Digest, MBEDTLS_MD_MD5, 0},
    {CKM_SHA_1, Family::Digest, MBEDTLS_MD_SHA1, 0},
    {CKM_SHA224, Family::Digest, MBEDTLS_MD_SHA224, 0},
    {CKM_SHA256, Family::Digest, MBEDTLS_MD_SHA256, 0},
    {CKM_SHA384, Family::Digest, MBEDTLS_MD_SHA384, 0},
    {CKM_SHA512, Family::Digest, MBEDTLS_MD_SHA512, 0},
    {CKM_MD5_HMAC, Family::Hmac, MBEDTLS_MD_MD5, CKK_GENERIC_SECRET},
    {CKM_SHA_1_HMAC, Family::Hmac, MBEDTLS_MD_SHA1, CKK_GENERIC_SECRET},
    {CKM_SHA224_HMAC, Family::Hmac, MBEDTLS_MD_SHA224, CKK_GENERIC_SECRET},
    {CKM_SHA256_HMAC, Family::Hmac, MBEDTLS_MD_SHA256, CKK_GENERIC_SECRET},
    {CKM_SHA384_HMAC, Family::Hmac, MBEDTLS_MD_SHA384, CKK_GENERIC_SECRET},
    {CKM_SHA512_HMAC, Family::Hmac, MBEDTLS_MD_SHA512, CKK_GENERIC_SECRET},
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
    {CKM_MD5_RSA_PKCS, Family::RsaPkcs, MBEDTLS_MD_MD5, CKK_RSA},
    {CKM_SHA1_RSA_PKCS, Family::RsaPkcs, MBEDTLS_MD_SHA1, CKK_RSA},
    {CKM_SHA224_RSA_PKCS, Family::RsaPkcs, MBEDTLS_MD_SHA224, CKK_RSA},
    {CKM_SHA256_RSA_PKCS, Family::RsaPkcs, MBEDTLS_MD_SHA256, CKK_RSA},
    {CKM_SHA384_RSA_PKCS, Family::RsaPkcs, MBEDTLS_MD_SHA384, CKK_RSA},
    {CKM_SHA512_RSA_PKCS, Family::RsaPkcs, MBEDTLS_MD_SHA512, CKK_RSA},
    {CKM_RSA_PKCS_PSS, Family::RsaPss, kNone, CKK_RSA},
    {CKM_SHA1_RSA_PKCS_PSS, Family::RsaPss, MBEDTLS_MD_SHA1, CKK_RSA},
    {CKM_SHA224_RSA_PKCS_PSS, Family::RsaPss, MBEDTLS_MD_SHA224, CKK_RSA},
    {CKM_SHA256_RSA_PKCS_PSS, Family::RsaPss, MBEDTLS_MD_SHA256, CKK_RSA},
    {CKM_SHA384_RSA_PKCS_PSS, Family::RsaPss, MBEDTLS_MD_SHA384, CKK_RSA},
    {CKM_SHA512_RSA_PKCS_PSS, Family::RsaPss, MBEDTLS_MD_SHA512, CKK_RSA},
    {CKM_ECDSA, Family::Ecdsa, kNone, CKK_EC},
    {CKM_ECDSA_SHA1, Family::Ecdsa, MBEDTLS_MD_SHA1, CKK_EC},
    {CKM_ECDSA_SHA224, Family::Ecdsa, MBEDTLS_MD_SHA224, CKK_EC},
    {CKM_ECDSA_SHA256, Family::Ecdsa, MBEDTLS_MD_SHA256, CKK_EC},
    {CKM_ECDSA_SHA384, Family::Ecdsa, MBEDTLS_MD_SHA384, CKK_EC},
    {CKM_ECDSA_SHA512, Family::Ecdsa, MBEDTLS_MD_SHA512, CKK_EC},
};

}  // namespace

const MechanismInfo* findMechanism(uint32_t type) {
    for (const MechanismInfo& m : kMechanisms)
        if (m.type == type) return &m;
    return nullptr;
}

mbedtls_md_type_t hashOfMechanism(uint32_t ckm) {
    const MechanismInfo* m = findMechanism(ckm);
    return m && m->family == Family::Digest ? m->md : kNone;
}

mbedtls_md_type_t hashOfMgf(uint32_t ckg) {
    switch (ckg) {
    case CKG_MGF1_SHA1: return MBEDTLS_MD_SHA1;
    case CKG_MGF1_SHA224: return MBEDTLS_MD_SHA224;
    case CKG_MGF1_SHA256: return MBEDTLS_MD_SHA256;
    case CKG_MGF1_SHA384: return MBEDTLS_MD_SHA384;
    case CKG_MGF1_SHA512: return MBEDTLS_MD_SHA512;
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
    if (out.hash == kNone || out.hash == MBEDTLS_MD_MD5 || out.mgf == kNone || out.saltLength > 1024)
        return CKR_MECHANISM_PARAM_INVALID;
    return CKR_OK;
}

Rv parseOaep(const wire::Mechanism& mech, OaepParams& out) {
    if (!mech.oaepParams) return CKR_MECHANISM_PARAM_INVALID;
    const wire::OaepParams& p = *mech.oaepParams;
    out.hash = hashOfMechanism(p.hashAlg);
    // mbedtls masks with the same hash it labels with.
    if (out.hash == kNone || out.hash == MBEDTLS_MD_MD5 || hashOfMgf(p.mgf) != out.hash)
        return CKR_MECHANISM_PARAM_INVALID;
    // A source of 0 without data is taken as "no label", as many callers pass it.
    uint32_t source = p.source.value_or(CKZ_DATA_SPECIFIED);
    if (source != CKZ_DATA_SPECIFIED && (source != 0 || p.sourceData)) return CKR_MECHANISM_PARAM_INVALID;
    out.label = p.sourceData.value_or(Bytes{});
    if (p.sourceDataLength && *p.sourceDataLength != out.label.size()) return CKR_MECHANISM_PARAM_INVALID;
    return CKR_OK;
}

}  // namespace dravenholt::sim
