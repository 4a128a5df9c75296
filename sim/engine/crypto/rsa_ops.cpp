
#include "crypto/asymmetric.h"
#include "crypto/hash_ops.h"
#include "crypto/keys.h"

namespace dravenholt::sim {
namespace {

// Copyable: it keeps the key's attributes and builds the mbedtls context when it runs.
class RsaCipher : public CipherOp {
public:
    RsaCipher(Random& random, Family family, OaepParams oaep, Object key, bool encrypt)
        : random_(&random), family_(family), oaep_(std::move(oaep)), key_(std::move(key)), encrypt_(encrypt) {}
    std::unique_ptr<CipherOp> clone() const override { return std::make_unique<RsaCipher>(*this); }

    Rv update(const Bytes& in, Bytes& out) override {
        input_.insert(input_.end(), in.begin(), in.end());
        out.clear();
        return input_.size() > 512 ? (encrypt_ ? CKR_DATA_LEN_RANGE : CKR_ENCRYPTED_DATA_LEN_RANGE) : CKR_OK;
    }

    Rv finish(Bytes& out) override {
        RsaContext ctx;
        if (Rv rv = loadRsa(key_, ctx); rv != CKR_OK) return rv;
        size_t k = mbedtls_rsa_get_len(ctx.get());
        return encrypt_ ? encrypt(ctx, k, out) : decrypt(ctx, k, out);
    }

private:
    Rv encrypt(RsaContext& ctx, size_t k, Bytes& out) {
        out.assign(k, 0);
        int rc;
        switch (family_) {
        case Family::RsaX509: {
            if (input_.size() > k) return CKR_DATA_LEN_RANGE;
            Bytes block(k - input_.size(), 0);
            block.insert(block.end(), input_.begin(), input_.end());
            rc = mbedtls_rsa_public(ctx.get(), block.data(), out.data());
            return rc == 0 ? CKR_OK : CKR_DATA_LEN_RANGE;
        }
        case Family::RsaOaep:
            mbedtls_rsa_set_padding(ctx.get(), MBEDTLS_RSA_PKCS_V21, oaep_.hash);
            if (input_.size() + 2 * mbedtls_md_get_size(mbedtls_md_info_from_type(oaep_.hash)) + 2 > k)
                return CKR_DATA_LEN_RANGE;
            rc = mbedtls_rsa_rsaes_oaep_encrypt(ctx.get(), Random::callback, random_, MBEDTLS_RSA_PUBLIC,
                                                oaep_.label.data(), oaep_.label.size(), input_.size(),
                                                input_.data(), out.data());
            break;
        default:
            if (input_.size() + 11 > k) return CKR_DATA_LEN_RANGE;
            rc = mbedtls_rsa_rsaes_pkcs1_v15_encrypt(ctx.get(), Random::callback, random_, MBEDTLS_RSA_PUBLIC,
                                                     input_.size(), input_.data(), out.data());
            break;
        }
        return rc == 0 ? CKR_OK : CKR_DEVICE_ERROR;
    }

    Rv decrypt(RsaContext& ctx, size_t k, Bytes& out) {
        if (input_.size() != k) return CKR_ENCRYPTED_DATA_LEN_RANGE;
        out.assign(k, 0);
        size_t length = 0;
        int rc;
        switch (family_) {
        case Family::RsaX509:
            rc = mbedtls_rsa_private(ctx.get(), Random::callback, random_, input_.data(), out.data());
            length = k;
            break;
        case Family::RsaOaep:
            mbedtls_rsa_set_padding(ctx.get(), MBEDTLS_RSA_PKCS_V21, oaep_.hash);
            rc = mbedtls_rsa_rsaes_oaep_decrypt(ctx.get(), Random::callback, random_, MBEDTLS_RSA_PRIVATE,
                                                oaep_.label.data(), oaep_.label.size(), &length,
                                                input_.data(), out.data(), out.size());
            break;
        default:
            rc = mbedtls_rsa_rsaes_pkcs1_v15_decrypt(ctx.get(), Random::callback, random_, MBEDTLS_RSA_PRIVATE,
                                                     &length, input_.data(), out.data(), out.size());
            break;
        }
        if (rc != 0) return CKR_ENCRYPTED_DATA_INVALID;
        out.resize(length);
        return CKR_OK;
    }

    Random* random_;
    Family family_;
    OaepParams oaep_;
    Object key_;
    bool encrypt_;
    Bytes input_;
};

class RsaSigner : public SignOp {
public:
    RsaSigner(Random& random, Family family, mbedtls_md_type_t md, PssParams pss, Object key)
        : random_(random), family_(family), md_(md), pss_(pss), key_(std::move(key)) {}

    Rv start() {
        if (Rv rv = loadRsa(key_, ctx_); rv != CKR_OK) return rv;
        return md_ == MBEDTLS_MD_NONE ? CKR_OK : hash_.start(md_);
    }
    Rv update(const Bytes& in) override {
        if (hash_.started()) return hash_.update(in);
        data_.insert(data_.end(), in.begin(), in.end());
        return data_.size() > mbedtls_rsa_get_len(ctx_.get()) ? CKR_DATA_LEN_RANGE : CKR_OK;
    }
    size_t signatureLength() const override { return mbedtls_rsa_get_len(ctx_.get()); }

    Rv sign(Bytes& out) override {
        Bytes digest;
        if (Rv rv = message(digest); rv != CKR_OK) return rv;
        size_t k = signatureLength();
        out.assign(k, 0);
        int rc;
        switch (family_) {
        case Family::RsaX509: {
            Bytes block(k - digest.size(), 0);
            block.insert(block.end(), digest.begin(), digest.end());
            rc = mbedtls_rsa_private(ctx_.get(), Random::callback, &random_, block.data(), out.data());
            return rc == 0 ? CKR_OK : CKR_DATA_LEN_RANGE;
        }
        case Family::RsaPss:
            mbedtls_rsa_set_padding(ctx_.get(), MBEDTLS_RSA_PKCS_V21, pss_.mgf);
            rc = mbedtls_rsa_rsassa_pss_sign_ext(ctx_.get(), Random::callback, &random_, pss_.hash,
                                                 unsigned(digest.size()), digest.data(), int(pss_.saltLength),
                                                 out.data());
            return rc == 0 ? CKR_OK : CKR_DATA_LEN_RANGE;
        default:
            if (md_ == MBEDTLS_MD_NONE && digest.size() + 11 > k) return CKR_DATA_LEN_RANGE;
            rc = mbedtls_rsa_rsassa_pkcs1_v15_sign(ctx_.get(), Random::callback, &random_, MBEDTLS_RSA_PRIVATE,
                                                   md_, unsigned(digest.size()), digest.data(), out.data());
            return rc == 0 ? CKR_OK : CKR_DEVICE_ERROR;
        }
    }

    Rv verify(const Bytes& signature) override {
        Bytes digest;
        if (Rv rv = message(digest); rv != CKR_OK) return rv;
        size_t k = signatureLength();
        if (signature.size() != k) return CKR_SIGNATURE_LEN_RANGE;
        int rc;
        switch (family_) {
        case Family::RsaX509: {
            Bytes recovered(k), block(k - digest.size(), 0);
            block.insert(block.end(), digest.begin(), digest.end());
            rc = mbedtls_rsa_public(ctx_.get(), signature.data(), recovered.data());
            if (rc != 0) return CKR_SIGNATURE_INVALID;
            return sameSecret(recovered.data(), block.data(), k) ? CKR_OK : CKR_SIGNATURE_INVALID;
        }
        case Family::RsaPss:
            rc = mbedtls_rsa_rsassa_pss_verify_ext(ctx_.get(), nullptr, nullptr, MBEDTLS_RSA_PUBLIC, pss_.hash,
                                                   unsigned(digest.size()), digest.data(), pss_.mgf,
                                                   int(pss_.saltLength), signature.data());
            break;
        default:
            rc = mbedtls_rsa_rsassa_pkcs1_v15_verify(ctx_.get(), nullptr, nullptr, MBEDTLS_RSA_PUBLIC, md_,
                                                     unsigned(digest.size()), digest.data(), signature.data());
            break;
        }
        return rc == 0 ? CKR_OK : CKR_SIGNATURE_INVALID;
    }

private:
    // The hash of the data, or the data itself for the raw mechanisms.
    Rv message(Bytes& out) {
        if (hash_.started()) return hash_.finish(out);
        out = data_;
        if (family_ == Family::RsaPss &&
            out.size() != mbedtls_md_get_size(mbedtls_md_info_from_type(pss_.hash)))
            return CKR_DATA_LEN_RANGE;
        return CKR_OK;
    }

    Random& random_;
    Family family_;
    mbedtls_md_type_t md_;
    PssParams pss_;
    Object key_;
    RsaContext ctx_;
    MdStream hash_;
    Bytes data_;
};

}  // namespace

Rv makeRsaCipher(Random& random, const MechanismInfo& info, const wire::Mechanism& mech,
                 const Object& key, bool encrypt, std::unique_ptr<CipherOp>& out) {
    if (info.family == Family::RsaPss || info.md != MBEDTLS_MD_NONE) return CKR_MECHANISM_INVALID;
    if (key.objectClass() != (encrypt ? CKO_PUBLIC_KEY : CKO_PRIVATE_KEY)) return CKR_KEY_TYPE_INCONSISTENT;
    OaepParams oaep{MBEDTLS_MD_NONE, {}};
    if (info.family == Family::RsaOaep) {
        if (Rv rv = parseOaep(mech, oaep); rv != CKR_OK) return rv;
    }
    out = std::make_unique<RsaCipher>(random, info.family, std::move(oaep), key, encrypt);
    return CKR_OK;
}

Rv makeRsaSigner(Random& random, const MechanismInfo& info, const wire::Mechanism& mech,
                 const Object& key, bool sign, std::unique_ptr<SignOp>& out) {
    if (info.family == Family::RsaOaep) return CKR_MECHANISM_INVALID;
    if (key.objectClass() != (sign ? CKO_PRIVATE_KEY : CKO_PUBLIC_KEY)) return CKR_KEY_TYPE_INCONSISTENT;
    PssParams pss{info.md, info.md, 0};
    if (info.family == Family::RsaPss) {
        if (Rv rv = parsePss(mech, pss); rv != CKR_OK) return rv;
        if (info.md != MBEDTLS_MD_NONE && pss.hash != info.md) return CKR_MECHANISM_PARAM_INVALID;
    }
    auto op = std::make_unique<RsaSigner>(random, info.family, info.md, pss, key);
    if (Rv rv = op->start(); rv != CKR_OK) return rv;
    out = std::move(op);
    return CKR_OK;
}

}  // namespace dravenholt::sim
