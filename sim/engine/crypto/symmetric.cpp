#include "crypto/symmetric.h"

#include <cstring>

#include <mbedtls/aes.h>
#include <mbedtls/cipher.h>
#include <mbedtls/cmac.h>
#include <mbedtls/des.h>

#include "crypto/hash_ops.h"
#include "mbed.h"

namespace dravenholt::sim {
namespace {

using AesContext = MbedHolder<mbedtls_aes_context, mbedtls_aes_init, mbedtls_aes_free>;
using DesContext = MbedHolder<mbedtls_des_context, mbedtls_des_init, mbedtls_des_free>;
using Des3Context = MbedHolder<mbedtls_des3_context, mbedtls_des3_init, mbedtls_des3_free>;
using CipherContext = MbedHolder<mbedtls_cipher_context_t, mbedtls_cipher_init, mbedtls_cipher_free>;

size_t blockSize(BlockAlg alg) { return alg == BlockAlg::Aes ? 16 : 8; }

// Runs whole blocks through the cipher in ECB or CBC mode; `iv` carries the CBC chaining
// value from call to call. The key schedule is rebuilt per call, so the operation itself
// stays a plain copyable value.
bool cryptBlocks(BlockAlg alg, const Bytes& key, bool encrypt, bool cbc, Bytes& iv,
                 const uint8_t* in, size_t length, uint8_t* out) {
    if (length == 0) return true;
    int mode = encrypt ? MBEDTLS_AES_ENCRYPT : MBEDTLS_AES_DECRYPT;  // same values for DES
    size_t bs = blockSize(alg);
    int rc = 0;
    switch (alg) {
    case BlockAlg::Aes: {
        AesContext ctx;
        unsigned bits = unsigned(key.size() * 8);
        rc = encrypt ? mbedtls_aes_setkey_enc(ctx.get(), key.data(), bits)
                     : mbedtls_aes_setkey_dec(ctx.get(), key.data(), bits);
        if (cbc) {
            if (rc == 0) rc = mbedtls_aes_crypt_cbc(ctx.get(), mode, length, iv.data(), in, out);
        } else {
            for (size_t i = 0; rc == 0 && i < length; i += bs)
                rc = mbedtls_aes_crypt_ecb(ctx.get(), mode, in + i, out + i);
        }
        break;
    }
    case BlockAlg::Des: {
        DesContext ctx;
        rc = encrypt ? mbedtls_des_setkey_enc(ctx.get(), key.data()) : mbedtls_des_setkey_dec(ctx.get(), key.data());
        if (cbc) {
            if (rc == 0) rc = mbedtls_des_crypt_cbc(ctx.get(), mode, length, iv.data(), in, out);
        } else {
            for (size_t i = 0; rc == 0 && i < length; i += bs) rc = mbedtls_des_crypt_ecb(ctx.get(), in + i, out + i);
        }
        break;
    }
    case BlockAlg::Des3: {
        Des3Context ctx;
        if (key.size() == 16)
            rc = encrypt ? mbedtls_des3_set2key_enc(ctx.get(), key.data()) : mbedtls_des3_set2key_dec(ctx.get(), key.data());
        else
            rc = encrypt ? mbedtls_des3_set3key_enc(ctx.get(), key.data()) : mbedtls_des3_set3key_dec(ctx.get(), key.data());
        if (cbc) {
            if (rc == 0) rc = mbedtls_des3_crypt_cbc(ctx.get(), mode, length, iv.data(), in, out);
        } else {
            for (size_t i = 0; rc == 0 && i < length; i += bs) rc = mbedtls_des3_crypt_ecb(ctx.get(), in + i, out + i);
        }
        break;
    }
    }
    return rc == 0;
}

class BlockOp : public CipherOp {
public:
    BlockOp(BlockAlg alg, BlockMode mode, Bytes key, Bytes iv, bool encrypt)
        : alg_(alg), mode_(mode), key_(std::move(key)), iv_(std::move(iv)), encrypt_(encrypt) {}
    ~BlockOp() override {
        wipe(key_);
        wipe(pending_);
    }
    BlockOp(const BlockOp&) = default;

    std::unique_ptr<CipherOp> clone() const override { return std::make_unique<BlockOp>(*this); }

    Rv update(const Bytes& in, Bytes& out) override {
        size_t bs = blockSize(alg_);
        pending_.insert(pending_.end(), in.begin(), in.end());
        size_t ready = pending_.size() / bs * bs;
        // Decrypting with padding holds the last whole block back for the final call.
        if (!encrypt_ && mode_ == BlockMode::CbcPad && ready == pending_.size() && ready > 0) ready -= bs;
        return process(ready, out);
    }

    Rv finish(Bytes& out) override {
        size_t bs = blockSize(alg_);
        if (mode_ != BlockMode::CbcPad) {
            if (!pending_.empty()) return encrypt_ ? CKR_DATA_LEN_RANGE : CKR_ENCRYPTED_DATA_LEN_RANGE;
            out.clear();
            return CKR_OK;
        }
        if (encrypt_) {
            uint8_t pad = uint8_t(bs - pending_.size() % bs);
            pending_.insert(pending_.end(), pad, pad);
            return process(pending_.size(), out);
        }
        if (pending_.size() != bs) return CKR_ENCRYPTED_DATA_LEN_RANGE;
        if (Rv rv = process(bs, out); rv != CKR_OK) return rv;
        uint8_t pad = out.back();
        if (pad == 0 || pad > bs) return CKR_ENCRYPTED_DATA_INVALID;
        for (size_t i = out.size() - pad; i < out.size(); ++i)
            if (out[i] != pad) return CKR_ENCRYPTED_DATA_INVALID;
        out.resize(out.size() - pad);
        return CKR_OK;
    }

private:
    Rv process(size_t length, Bytes& out) {
        out.assign(length, 0);
        if (!cryptBlocks(alg_, key_, encrypt_, mode_ != BlockMode::Ecb, iv_, pending_.data(), length, out.data()))
            return CKR_DEVICE_ERROR;
        pending_.erase(pending_.begin(), pending_.begin() + long(length));
        return CKR_OK;
    }

    BlockAlg alg_;
    BlockMode mode_;
    Bytes key_;
    Bytes iv_;
    bool encrypt_;
    Bytes pending_;
};

class CtrOp : public CipherOp {
public:
    CtrOp(Bytes key, const uint8_t* counter, uint64_t limit) : key_(std::move(key)), limit_(limit) {
        std::memcpy(counter_, counter, 16);
    }
    ~CtrOp() override { wipe(key_); }
    CtrOp(const CtrOp&) = default;

    std::unique_ptr<CipherOp> clone() const override { return std::make_unique<CtrOp>(*this); }

    Rv update(const Bytes& in, Bytes& out) override {
        // The counter may not run past its width into the rest of the block.
        if (in.size() > limit_ - used_) return CKR_DATA_LEN_RANGE;
        AesContext ctx;
        out.assign(in.size(), 0);
        if (mbedtls_aes_setkey_enc(ctx.get(), key_.data(), unsigned(key_.size() * 8)) != 0 ||
            mbedtls_aes_crypt_ctr(ctx.get(), in.size(), &offset_, counter_, stream_, in.data(), out.data()) != 0)
            return CKR_DEVICE_ERROR;
        used_ += in.size();
        return CKR_OK;
    }

    Rv finish(Bytes& out) override {
        out.clear();
        return CKR_OK;
    }

private:
    Bytes key_;
    unsigned char counter_[16];
    unsigned char stream_[16] = {};
    size_t offset_ = 0;
    uint64_t limit_;
    uint64_t used_ = 0;
};

class CmacOp : public SignOp {
public:
    Rv start(const Bytes& key) {
        const mbedtls_cipher_info_t* info = mbedtls_cipher_info_from_values(
            MBEDTLS_CIPHER_ID_AES, int(key.size() * 8), MBEDTLS_MODE_ECB);
        if (!info || mbedtls_cipher_setup(ctx_.get(), info) != 0 ||
            mbedtls_cipher_cmac_starts(ctx_.get(), key.data(), key.size() * 8) != 0)
            return CKR_DEVICE_ERROR;
        return CKR_OK;
    }
    Rv update(const Bytes& in) override {
        return mbedtls_cipher_cmac_update(ctx_.get(), in.data(), in.size()) == 0 ? CKR_OK : CKR_DEVICE_ERROR;
    }
    size_t signatureLength() const override { return 16; }
    Rv sign(Bytes& out) override {
        out.assign(16, 0);
        return mbedtls_cipher_cmac_finish(ctx_.get(), out.data()) == 0 ? CKR_OK : CKR_DEVICE_ERROR;
    }
    Rv verify(const Bytes& signature) override {
        Bytes mac;
        if (Rv rv = sign(mac); rv != CKR_OK) return rv;
        return compareMac(mac, signature);
    }

private:
    CipherContext ctx_;
};

}  // namespace

Rv makeBlockOp(BlockAlg alg, BlockMode mode, const Bytes& key, const Bytes& iv, bool encrypt,
               std::unique_ptr<CipherOp>& out) {
    size_t expectedIv = mode == BlockMode::Ecb ? 0 : blockSize(alg);
    if (iv.size() != expectedIv) return CKR_MECHANISM_PARAM_INVALID;
    out = std::make_unique<BlockOp>(alg, mode, key, iv, encrypt);
    return CKR_OK;
}

Rv makeCtrOp(const Bytes& key, const Bytes& params, std::unique_ptr<CipherOp>& out) {
    if (params.size() != 20) return CKR_MECHANISM_PARAM_INVALID;
    uint32_t bits = readLe32(params.data());
    if (bits == 0 || bits > 128) return CKR_MECHANISM_PARAM_INVALID;
    const uint8_t* block = params.data() + 4;
    uint64_t limit = UINT64_MAX;
    if (bits < 60) {
        uint64_t counter = 0;
        for (int i = 8; i < 16; ++i) counter = counter << 8 | block[i];
        counter &= (uint64_t(1) << bits) - 1;
        limit = ((uint64_t(1) << bits) - counter) * 16;
    }
    out = std::make_unique<CtrOp>(key, block, limit);
    return CKR_OK;
}

Rv makeCmacOp(const Bytes& key, std::unique_ptr<SignOp>& out) {
    auto op = std::make_unique<CmacOp>();
    if (Rv rv = op->start(key); rv != CKR_OK) return rv;
    out = std::move(op);
    return CKR_OK;
}

}  // namespace dravenholt::sim
