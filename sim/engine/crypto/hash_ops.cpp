#include "crypto/hash_ops.h"

namespace dravenholt::sim {
namespace {

class Digest : public DigestOp {
public:
    Rv start(Hash hash) { return md_.start(hash); }
    Rv update(const Bytes& in) override { return md_.update(in); }
    size_t digestLength() const override { return md_.size(); }
    Rv finish(Bytes& out) override { return md_.finish(out); }

private:
    MdStream md_;
};

class Mac : public SignOp {
public:
    // `params` name the hash of an HMAC or the cipher of a CMAC.
    bool start(const char* mac, const OSSL_PARAM* params, const Bytes& key) {
        EVP_MAC* algorithm = evpMac(mac);
        ctx_.reset(algorithm ? EVP_MAC_CTX_new(algorithm) : nullptr);
        // An empty key is a valid HMAC key, but OpenSSL wants a pointer to it.
        static const uint8_t none = 0;
        if (!ctx_ || EVP_MAC_init(ctx_.get(), key.empty() ? &none : key.data(), key.size(), params) != 1) return false;
        size_ = EVP_MAC_CTX_get_mac_size(ctx_.get());
        return size_ != 0;
    }
    Rv update(const Bytes& in) override {
        return EVP_MAC_update(ctx_.get(), in.data(), in.size()) == 1 ? CKR_OK : CKR_DEVICE_ERROR;
    }
    size_t signatureLength() const override { return size_; }
    Rv sign(Bytes& out) override {
        out.assign(size_, 0);
        size_t length = 0;
        return EVP_MAC_final(ctx_.get(), out.data(), &length, out.size()) == 1 && length == size_ ? CKR_OK
                                                                                                 : CKR_DEVICE_ERROR;
    }
    Rv verify(const Bytes& signature) override {
        Bytes mac;
        if (Rv rv = sign(mac); rv != CKR_OK) return rv;
        return compareMac(mac, signature);
    }

private:
    ossl::MacCtx ctx_;
    size_t size_ = 0;
};

std::unique_ptr<SignOp> makeMac(const char* mac, const char* paramName, const char* algorithm, const Bytes& key) {
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(paramName, const_cast<char*>(algorithm), 0),
        OSSL_PARAM_construct_end(),
    };
    auto op = std::make_unique<Mac>();
    return op->start(mac, params, key) ? std::move(op) : nullptr;
}

}  // namespace

Rv MdStream::start(Hash hash) {
    const EVP_MD* md = evpMd(hash);
    if (!md) return CKR_MECHANISM_INVALID;
    if (!ctx_) ctx_.reset(EVP_MD_CTX_new());
    if (!ctx_ || EVP_DigestInit_ex2(ctx_.get(), md, nullptr) != 1) return CKR_DEVICE_ERROR;
    size_ = hashSize(hash);
    return CKR_OK;
}

Rv MdStream::update(const Bytes& in) {
    return EVP_DigestUpdate(ctx_.get(), in.data(), in.size()) == 1 ? CKR_OK : CKR_DEVICE_ERROR;
}

Rv MdStream::finish(Bytes& out) {
    out.assign(size_, 0);
    return EVP_DigestFinal_ex(ctx_.get(), out.data(), nullptr) == 1 ? CKR_OK : CKR_DEVICE_ERROR;
}

std::unique_ptr<DigestOp> makeDigestOp(Hash hash) {
    auto op = std::make_unique<Digest>();
    return op->start(hash) == CKR_OK ? std::move(op) : nullptr;
}

std::unique_ptr<SignOp> makeHmacOp(Hash hash, const Bytes& key) {
    return evpMd(hash) ? makeMac("HMAC", OSSL_MAC_PARAM_DIGEST, hashName(hash), key) : nullptr;
}

std::unique_ptr<SignOp> makeCmacOp(const Bytes& key) {
    const char* cipher = key.size() == 16 ? "AES-128-CBC" : key.size() == 24 ? "AES-192-CBC"
                       : key.size() == 32 ? "AES-256-CBC" : nullptr;
    return cipher ? makeMac("CMAC", OSSL_MAC_PARAM_CIPHER, cipher, key) : nullptr;
}

Rv compareMac(const Bytes& expected, const Bytes& presented) {
    if (presented.size() != expected.size()) return CKR_SIGNATURE_LEN_RANGE;
    return sameSecret(expected.data(), presented.data(), expected.size()) ? CKR_OK : CKR_SIGNATURE_INVALID;
}

}  // namespace dravenholt::sim
