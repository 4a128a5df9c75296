// ECDSA and DSA signatures. OpenSSL speaks DER; the device's form is r || s.
#include "crypto/asymmetric.h"
#include "crypto/hash_ops.h"
#include "crypto/keys.h"

namespace dravenholt::sim {
namespace {

class DsaSigner : public SignOp {
public:
    DsaSigner(Hash hash, ossl::SharedKey key, size_t width) : hash_(hash), key_(std::move(key)), width_(width) {}

    Rv start() { return hash_ == Hash::None ? CKR_OK : md_.start(hash_); }
    Rv update(const Bytes& in) override {
        if (md_.started()) return md_.update(in);
        data_.insert(data_.end(), in.begin(), in.end());
        return data_.size() > 1024 ? CKR_DATA_LEN_RANGE : CKR_OK;
    }
    size_t signatureLength() const override { return 2 * width_; }

    Rv sign(Bytes& out) override {
        Bytes digest;
        if (Rv rv = message(digest); rv != CKR_OK) return rv;
        ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr));
        size_t length = 0;
        if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
            EVP_PKEY_sign(ctx.get(), nullptr, &length, digest.data(), digest.size()) != 1)
            return CKR_DEVICE_ERROR;
        Bytes der(length);
        if (EVP_PKEY_sign(ctx.get(), der.data(), &length, digest.data(), digest.size()) != 1) return CKR_DEVICE_ERROR;
        const unsigned char* p = der.data();
        ossl::EcdsaSig sig(d2i_ECDSA_SIG(nullptr, &p, long(length)));
        if (!sig) return CKR_DEVICE_ERROR;
        out = ossl::bnBytes(ECDSA_SIG_get0_r(sig.get()), width_);
        Bytes s = ossl::bnBytes(ECDSA_SIG_get0_s(sig.get()), width_);
        out.insert(out.end(), s.begin(), s.end());
        return out.size() == 2 * width_ ? CKR_OK : CKR_DEVICE_ERROR;
    }

    Rv verify(const Bytes& signature) override {
        Bytes digest;
        if (Rv rv = message(digest); rv != CKR_OK) return rv;
        if (signature.size() != 2 * width_) return CKR_SIGNATURE_LEN_RANGE;
        ossl::Bn r = ossl::bnFrom(Bytes(signature.begin(), signature.begin() + long(width_)));
        ossl::Bn s = ossl::bnFrom(Bytes(signature.begin() + long(width_), signature.end()));
        ossl::EcdsaSig sig(ECDSA_SIG_new());
        if (!r || !s || !sig || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) return CKR_DEVICE_MEMORY;
        r.release();
        s.release();
        unsigned char* encoded = nullptr;
        int length = i2d_ECDSA_SIG(sig.get(), &encoded);
        ossl::Der der(encoded);
        if (length <= 0) return CKR_DEVICE_MEMORY;
        ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr));
        return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
                       EVP_PKEY_verify(ctx.get(), der.get(), size_t(length), digest.data(), digest.size()) == 1
                   ? CKR_OK
                   : CKR_SIGNATURE_INVALID;
    }

private:
    Rv message(Bytes& out) {
        if (md_.started()) return md_.finish(out);
        out = data_;
        return CKR_OK;
    }

    Hash hash_;
    ossl::SharedKey key_;
    size_t width_;
    MdStream md_;
    Bytes data_;
};

// Bytes of the group order: the curve's, or DSA's subprime.
size_t orderWidth(EVP_PKEY* key, uint32_t keyType) {
    if (keyType == CKK_EC) return size_t(EVP_PKEY_get_bits(key) + 7) / 8;
    return ossl::keyNumber(key, OSSL_PKEY_PARAM_FFC_Q).size();
}

}  // namespace

Rv makeDsaSigner(const MechanismInfo& info, const Object& key, bool sign, std::unique_ptr<SignOp>& out) {
    if (key.objectClass() != (sign ? CKO_PRIVATE_KEY : CKO_PUBLIC_KEY)) return CKR_KEY_TYPE_INCONSISTENT;
    ossl::SharedKey pkey;
    if (Rv rv = loadKey(key, pkey); rv != CKR_OK) return rv;
    size_t width = orderWidth(pkey.get(), key.keyType());
    auto op = std::make_unique<DsaSigner>(info.md, std::move(pkey), width);
    if (Rv rv = op->start(); rv != CKR_OK) return rv;
    out = std::move(op);
    return CKR_OK;
}

}  // namespace dravenholt::sim
