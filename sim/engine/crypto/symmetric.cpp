#include "crypto/symmetric.h"

#include <string>

#include "crypto/algorithms.h"
#include "crypto/ossl.h"

namespace dravenholt::sim {
namespace {

size_t blockSize(BlockAlg alg) { return alg == BlockAlg::Aes ? 16 : 8; }

std::string aesName(size_t keyLength, const char* mode) {
    return "AES-" + std::to_string(keyLength * 8) + "-" + mode;
}

// Every DES form runs as three-key triple DES: K K K is single DES, K1 K2 K1 double length.
Bytes desEde3Key(const Bytes& key) {
    Bytes out = key;
    if (key.size() == 8) out.insert(out.end(), key.begin(), key.end());
    if (key.size() <= 16) out.insert(out.end(), key.begin(), key.begin() + 8);
    return out;
}

// A cipher context keyed for one direction, without OpenSSL's own padding.
ossl::CipherCtx keyed(const char* name, const Bytes& key, const Bytes& iv, bool encrypt) {
    const EVP_CIPHER* cipher = evpCipher(name);
    ossl::CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!cipher || !ctx || size_t(EVP_CIPHER_get_key_length(cipher)) != key.size()) return nullptr;
    EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    if (EVP_CipherInit_ex2(ctx.get(), cipher, key.data(), iv.empty() ? nullptr : iv.data(), encrypt ? 1 : 0,
                           nullptr) != 1)
        return nullptr;
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    return ctx;
}

ossl::CipherCtx copyOf(const ossl::CipherCtx& ctx) {
    ossl::CipherCtx copy(EVP_CIPHER_CTX_new());
    if (copy && EVP_CIPHER_CTX_copy(copy.get(), ctx.get()) != 1) copy.reset();
    return copy;
}

// Runs `length` bytes through the context; false when OpenSSL refuses them.
bool run(EVP_CIPHER_CTX* ctx, const uint8_t* in, size_t length, Bytes& out) {
    out.assign(length + 16, 0);
    int written = 0;
    if (length > 0 && EVP_CipherUpdate(ctx, out.data(), &written, in, int(length)) != 1) return false;
    out.resize(size_t(written));
    return true;
}

// A cipher operation whose context is copied with it (a copy of a failed copy fails to run).
class ContextOp : public CipherOp {
protected:
    explicit ContextOp(ossl::CipherCtx ctx) : ctx_(std::move(ctx)) {}
    ContextOp(const ContextOp& other) : CipherOp(other), ctx_(copyOf(other.ctx_)) {}
    ossl::CipherCtx ctx_;
};

class BlockOp : public ContextOp {
public:
    BlockOp(ossl::CipherCtx ctx, BlockMode mode, size_t block, bool encrypt)
        : ContextOp(std::move(ctx)), mode_(mode), block_(block), encrypt_(encrypt) {}
    ~BlockOp() override { wipe(pending_); }
    BlockOp(const BlockOp&) = default;

    std::unique_ptr<CipherOp> clone() const override { return std::make_unique<BlockOp>(*this); }

    Rv update(const Bytes& in, Bytes& out) override {
        pending_.insert(pending_.end(), in.begin(), in.end());
        size_t ready = pending_.size() / block_ * block_;
        // Decrypting with padding holds the last whole block back for the final call.
        if (!encrypt_ && mode_ == BlockMode::CbcPad && ready == pending_.size() && ready > 0) ready -= block_;
        return process(ready, out);
    }

    Rv finish(Bytes& out) override {
        if (mode_ != BlockMode::CbcPad) {
            if (!pending_.empty()) return encrypt_ ? CKR_DATA_LEN_RANGE : CKR_ENCRYPTED_DATA_LEN_RANGE;
            out.clear();
            return CKR_OK;
        }
        if (encrypt_) {
            uint8_t pad = uint8_t(block_ - pending_.size() % block_);
            pending_.insert(pending_.end(), pad, pad);
            return process(pending_.size(), out);
        }
        if (pending_.size() != block_) return CKR_ENCRYPTED_DATA_LEN_RANGE;
        if (Rv rv = process(block_, out); rv != CKR_OK) return rv;
        uint8_t pad = out.back();
        if (pad == 0 || pad > block_) return CKR_ENCRYPTED_DATA_INVALID;
        for (size_t i = out.size() - pad; i < out.size(); ++i)
            if (out[i] != pad) return CKR_ENCRYPTED_DATA_INVALID;
        out.resize(out.size() - pad);
        return CKR_OK;
    }

private:
    Rv process(size_t length, Bytes& out) {
        if (!ctx_ || !run(ctx_.get(), pending_.data(), length, out) || out.size() != length) return CKR_DEVICE_ERROR;
        pending_.erase(pending_.begin(), pending_.begin() + long(length));
        return CKR_OK;
    }

    BlockMode mode_;
    size_t block_;
    bool encrypt_;
    Bytes pending_;
};

class CtrOp : public ContextOp {
public:
    CtrOp(ossl::CipherCtx ctx, uint64_t limit) : ContextOp(std::move(ctx)), limit_(limit) {}
    CtrOp(const CtrOp&) = default;

    std::unique_ptr<CipherOp> clone() const override { return std::make_unique<CtrOp>(*this); }

    Rv update(const Bytes& in, Bytes& out) override {
        // The counter may not run past its width into the rest of the block.
        if (in.size() > limit_ - used_) return CKR_DATA_LEN_RANGE;
        if (!ctx_ || !run(ctx_.get(), in.data(), in.size(), out)) return CKR_DEVICE_ERROR;
        used_ += in.size();
        return CKR_OK;
    }

    Rv finish(Bytes& out) override {
        out.clear();
        return CKR_OK;
    }

private:
    uint64_t limit_;
    uint64_t used_ = 0;
};

// Key wrap works on the whole input at once: it is collected, and wrapped or unwrapped last.
class KeyWrapOp : public CipherOp {
public:
    KeyWrapOp(std::string cipher, Bytes key, Bytes iv, bool pad, bool encrypt)
        : cipher_(std::move(cipher)), key_(std::move(key)), iv_(std::move(iv)), pad_(pad), encrypt_(encrypt) {}
    ~KeyWrapOp() override {
        wipe(key_);
        wipe(input_);
    }
    KeyWrapOp(const KeyWrapOp&) = default;

    std::unique_ptr<CipherOp> clone() const override { return std::make_unique<KeyWrapOp>(*this); }

    Rv update(const Bytes& in, Bytes& out) override {
        input_.insert(input_.end(), in.begin(), in.end());
        out.clear();
        return input_.size() > kMaxMessage ? lengthError() : CKR_OK;
    }

    Rv finish(Bytes& out) override {
        size_t n = input_.size();
        bool lengthOk = pad_ ? (encrypt_ ? n >= 1 : n >= 16 && n % 8 == 0) : n >= (encrypt_ ? 16 : 24) && n % 8 == 0;
        if (!lengthOk) return lengthError();
        ossl::CipherCtx ctx = keyed(cipher_.c_str(), key_, iv_, encrypt_);
        if (!ctx) return CKR_DEVICE_ERROR;
        if (!run(ctx.get(), input_.data(), n, out)) return encrypt_ ? CKR_DEVICE_ERROR : CKR_ENCRYPTED_DATA_INVALID;
        return CKR_OK;
    }

private:
    Rv lengthError() const { return encrypt_ ? CKR_DATA_LEN_RANGE : CKR_ENCRYPTED_DATA_LEN_RANGE; }

    std::string cipher_;
    Bytes key_;
    Bytes iv_;
    bool pad_;
    bool encrypt_;
    Bytes input_;
};

}  // namespace

Rv makeBlockOp(BlockAlg alg, BlockMode mode, const Bytes& key, const Bytes& iv, bool encrypt,
               std::unique_ptr<CipherOp>& out) {
    size_t expectedIv = mode == BlockMode::Ecb ? 0 : blockSize(alg);
    if (iv.size() != expectedIv) return CKR_MECHANISM_PARAM_INVALID;
    const char* modeName = mode == BlockMode::Ecb ? "ECB" : "CBC";
    ossl::CipherCtx ctx;
    if (alg == BlockAlg::Aes) {
        ctx = keyed(aesName(key.size(), modeName).c_str(), key, iv, encrypt);
    } else {
        Bytes full = desEde3Key(key);
        ctx = keyed(mode == BlockMode::Ecb ? "DES-EDE3-ECB" : "DES-EDE3-CBC", full, iv, encrypt);
        wipe(full);
    }
    if (!ctx) return CKR_KEY_SIZE_RANGE;
    out = std::make_unique<BlockOp>(std::move(ctx), mode, blockSize(alg), encrypt);
    return CKR_OK;
}

Rv makeCtrOp(const Bytes& key, const Bytes& params, std::unique_ptr<CipherOp>& out) {
    if (params.size() != 20) return CKR_MECHANISM_PARAM_INVALID;
    uint32_t bits = readLe32(params.data());
    if (bits == 0 || bits > 128) return CKR_MECHANISM_PARAM_INVALID;
    Bytes block(params.begin() + 4, params.end());
    uint64_t limit = UINT64_MAX;
    if (bits < 60) {
        uint64_t counter = 0;
        for (int i = 8; i < 16; ++i) counter = counter << 8 | block[i];
        counter &= (uint64_t(1) << bits) - 1;
        limit = ((uint64_t(1) << bits) - counter) * 16;
    }
    ossl::CipherCtx ctx = keyed(aesName(key.size(), "CTR").c_str(), key, block, true);
    if (!ctx) return CKR_KEY_SIZE_RANGE;
    out = std::make_unique<CtrOp>(std::move(ctx), limit);
    return CKR_OK;
}

Rv makeKeyWrapOp(const Bytes& key, bool pad, const Bytes& iv, bool encrypt, std::unique_ptr<CipherOp>& out) {
    if (!iv.empty() && iv.size() != (pad ? 4u : 8u)) return CKR_MECHANISM_PARAM_INVALID;
    std::string cipher = aesName(key.size(), pad ? "WRAP-PAD" : "WRAP");
    if (!evpCipher(cipher.c_str())) return CKR_KEY_SIZE_RANGE;
    out = std::make_unique<KeyWrapOp>(std::move(cipher), key, iv, pad, encrypt);
    return CKR_OK;
}

}  // namespace dravenholt::sim
