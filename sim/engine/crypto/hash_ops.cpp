#include "crypto/hash_ops.h"


namespace dravenholt::sim {
namespace {

class Digest : public DigestOp {
public:
    Rv start(mbedtls_md_type_t type) { return md_.start(type); }
    Rv update(const Bytes& in) override { return md_.update(in); }
    size_t digestLength() const override { return md_.size(); }
    Rv finish(Bytes& out) override { return md_.finish(out); }

private:
    MdStream md_;
};

class Hmac : public SignOp {
public:
    Rv start(mbedtls_md_type_t type, const Bytes& key) { return md_.start(type, &key); }
    Rv update(const Bytes& in) override { return md_.update(in); }
    size_t signatureLength() const override { return md_.size(); }
    Rv sign(Bytes& out) override { return md_.finish(out); }
    Rv verify(const Bytes& signature) override {
        Bytes mac;
        if (Rv rv = md_.finish(mac); rv != CKR_OK) return rv;
        return compareMac(mac, signature);
    }

private:
    MdStream md_;
};

}  // namespace

Rv MdStream::start(mbedtls_md_type_t type, const Bytes* hmacKey) {
    const mbedtls_md_info_t* info = mbedtls_md_info_from_type(type);
    if (!info) return CKR_MECHANISM_INVALID;
    hmac_ = hmacKey != nullptr;
    if (mbedtls_md_setup(ctx_.get(), info, hmac_) != 0) return CKR_DEVICE_MEMORY;
    int rc = hmac_ ? mbedtls_md_hmac_starts(ctx_.get(), hmacKey->data(), hmacKey->size())
                   : mbedtls_md_starts(ctx_.get());
    if (rc != 0) return CKR_DEVICE_ERROR;
    size_ = mbedtls_md_get_size(info);
    return CKR_OK;
}

Rv MdStream::update(const Bytes& in) {
    int rc = hmac_ ? mbedtls_md_hmac_update(ctx_.get(), in.data(), in.size())
                   : mbedtls_md_update(ctx_.get(), in.data(), in.size());
    return rc == 0 ? CKR_OK : CKR_DEVICE_ERROR;
}

Rv MdStream::finish(Bytes& out) {
    out.assign(size_, 0);
    int rc = hmac_ ? mbedtls_md_hmac_finish(ctx_.get(), out.data()) : mbedtls_md_finish(ctx_.get(), out.data());
    return rc == 0 ? CKR_OK : CKR_DEVICE_ERROR;
}

std::unique_ptr<DigestOp> makeDigestOp(mbedtls_md_type_t type) {
    auto op = std::make_unique<Digest>();
    return op->start(type) == CKR_OK ? std::move(op) : nullptr;
}

std::unique_ptr<SignOp> makeHmacOp(mbedtls_md_type_t type, const Bytes& key) {
    auto op = std::make_unique<Hmac>();
    return op->start(type, key) == CKR_OK ? std::move(op) : nullptr;
}

Rv compareMac(const Bytes& expected, const Bytes& presented) {
    if (presented.size() != expected.size()) return CKR_SIGNATURE_LEN_RANGE;
    return sameSecret(expected.data(), presented.data(), expected.size()) ? CKR_OK
                                                                                      : CKR_SIGNATURE_INVALID;
}

}  // namespace dravenholt::sim
