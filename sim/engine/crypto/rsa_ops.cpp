#include <openssl/rsa.h>

#include "crypto/asymmetric.h"
#include "crypto/hash_ops.h"
#include "crypto/keys.h"

namespace dravenholt::sim {
namespace {

// How one use of the key pads: PKCS#1 v1.5, none (X.509), OAEP or PSS with their hashes.
struct Padding {
    Family family = Family::RsaPkcs;
    Hash md = Hash::None;   // signature hash, or OAEP's
    Hash mgf = Hash::None;
    int saltLength = 0;
    Bytes label;
};

// A context of the key for one operation, with the padding set.
ossl::PkeyCtx context(EVP_PKEY* key, int (*init)(EVP_PKEY_CTX*), const Padding& pad) {
    ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!ctx || init(ctx.get()) != 1) return nullptr;
    EVP_PKEY_CTX* c = ctx.get();
    bool ok;
    switch (pad.family) {
    case Family::RsaX509:
        ok = EVP_PKEY_CTX_set_rsa_padding(c, RSA_NO_PADDING) == 1;
        break;
    case Family::RsaOaep:
        ok = EVP_PKEY_CTX_set_rsa_padding(c, RSA_PKCS1_OAEP_PADDING) == 1 &&
             EVP_PKEY_CTX_set_rsa_oaep_md(c, evpMd(pad.md)) == 1 && EVP_PKEY_CTX_set_rsa_mgf1_md(c, evpMd(pad.mgf)) == 1;
        if (ok && !pad.label.empty()) {
            // The context takes the copy over once it accepts it.
            ossl::Der label(static_cast<unsigned char*>(OPENSSL_memdup(pad.label.data(), pad.label.size())));
            ok = label && EVP_PKEY_CTX_set0_rsa_oaep_label(c, label.get(), int(pad.label.size())) == 1;
            if (ok) label.release();
        }
        break;
    case Family::RsaPss:
        ok = EVP_PKEY_CTX_set_rsa_padding(c, RSA_PKCS1_PSS_PADDING) == 1 &&
             EVP_PKEY_CTX_set_signature_md(c, evpMd(pad.md)) == 1 && EVP_PKEY_CTX_set_rsa_mgf1_md(c, evpMd(pad.mgf)) == 1 &&
             EVP_PKEY_CTX_set_rsa_pss_saltlen(c, pad.saltLength) == 1;
        break;
    default:
        ok = EVP_PKEY_CTX_set_rsa_padding(c, RSA_PKCS1_PADDING) == 1 &&
             (pad.md == Hash::None || EVP_PKEY_CTX_set_signature_md(c, evpMd(pad.md)) == 1);
        break;
    }
    return ok ? std::move(ctx) : nullptr;
}

// The raw RSA block of `data`: zeros in front up to the modulus length.
Bytes leftPadded(const Bytes& data, size_t k) {
    Bytes block(k - data.size(), 0);
    block.insert(block.end(), data.begin(), data.end());
    return block;
}

using Run = int (*)(EVP_PKEY_CTX*, unsigned char*, size_t*, const unsigned char*, size_t);

// One call of an OpenSSL operation with an output of at most `k` bytes.
bool runInto(Run run, EVP_PKEY_CTX* ctx, const Bytes& in, size_t k, Bytes& out) {
    out.assign(k, 0);
    size_t length = out.size();
    if (!ctx || run(ctx, out.data(), &length, in.data(), in.size()) != 1) return false;
    out.resize(length);
    return true;
}

// Copyable: the parsed key is shared, the input collected until the last call.
class RsaCipher : public CipherOp {
public:
    RsaCipher(Padding pad, ossl::SharedKey key, bool encrypt)
        : pad_(std::move(pad)), key_(std::move(key)), encrypt_(encrypt) {}
    ~RsaCipher() override { wipe(input_); }
    RsaCipher(const RsaCipher&) = default;
    std::unique_ptr<CipherOp> clone() const override { return std::make_unique<RsaCipher>(*this); }

    Rv update(const Bytes& in, Bytes& out) override {
        input_.insert(input_.end(), in.begin(), in.end());
        out.clear();
        return input_.size() > 512 ? (encrypt_ ? CKR_DATA_LEN_RANGE : CKR_ENCRYPTED_DATA_LEN_RANGE) : CKR_OK;
    }

    Rv finish(Bytes& out) override {
        size_t k = size_t(EVP_PKEY_get_size(key_.get()));
        return encrypt_ ? encrypt(k, out) : decrypt(k, out);
    }

private:
    Rv encrypt(size_t k, Bytes& out) {
        size_t overhead = pad_.family == Family::RsaX509 ? 0
                        : pad_.family == Family::RsaOaep ? 2 * hashSize(pad_.md) + 2 : 11;
        if (input_.size() + overhead > k) return CKR_DATA_LEN_RANGE;
        ossl::PkeyCtx ctx = context(key_.get(), EVP_PKEY_encrypt_init, pad_);
        bool raw = pad_.family == Family::RsaX509;
        if (runInto(EVP_PKEY_encrypt, ctx.get(), raw ? leftPadded(input_, k) : input_, k, out)) return CKR_OK;
        return raw ? CKR_DATA_LEN_RANGE : CKR_DEVICE_ERROR;
    }

    Rv decrypt(size_t k, Bytes& out) {
        if (input_.size() != k) return CKR_ENCRYPTED_DATA_LEN_RANGE;
        ossl::PkeyCtx ctx = context(key_.get(), EVP_PKEY_decrypt_init, pad_);
        if (ctx && pad_.family == Family::RsaPkcs) {
            // A padding error is an error, not a random message.
            unsigned int explicitRejection = 0;
            OSSL_PARAM params[] = {OSSL_PARAM_construct_uint("implicit-rejection", &explicitRejection),
                                   OSSL_PARAM_construct_end()};
            EVP_PKEY_CTX_set_params(ctx.get(), params);
        }
        return runInto(EVP_PKEY_decrypt, ctx.get(), input_, k, out) ? CKR_OK : CKR_ENCRYPTED_DATA_INVALID;
    }

    Padding pad_;
    ossl::SharedKey key_;
    bool encrypt_;
    Bytes input_;
};

class RsaSigner : public SignOp {
public:
    RsaSigner(Padding pad, Hash hash, ossl::SharedKey key)
        : pad_(std::move(pad)), hash_(hash), key_(std::move(key)), k_(size_t(EVP_PKEY_get_size(key_.get()))) {}

    Rv start() { return hash_ == Hash::None ? CKR_OK : md_.start(hash_); }
    Rv update(const Bytes& in) override {
        if (md_.started()) return md_.update(in);
        data_.insert(data_.end(), in.begin(), in.end());
        return data_.size() > k_ ? CKR_DATA_LEN_RANGE : CKR_OK;
    }
    size_t signatureLength() const override { return k_; }

    Rv sign(Bytes& out) override {
        Bytes digest;
        if (Rv rv = message(digest); rv != CKR_OK) return rv;
        bool raw = pad_.family == Family::RsaX509;
        if (pad_.family == Family::RsaPkcs && hash_ == Hash::None && digest.size() + 11 > k_) return CKR_DATA_LEN_RANGE;
        ossl::PkeyCtx ctx = context(key_.get(), EVP_PKEY_sign_init, pad_);
        if (runInto(EVP_PKEY_sign, ctx.get(), raw ? leftPadded(digest, k_) : digest, k_, out) && out.size() == k_)
            return CKR_OK;
        return pad_.family == Family::RsaPkcs ? CKR_DEVICE_ERROR : CKR_DATA_LEN_RANGE;
    }

    Rv verify(const Bytes& signature) override {
        Bytes digest;
        if (Rv rv = message(digest); rv != CKR_OK) return rv;
        if (signature.size() != k_) return CKR_SIGNATURE_LEN_RANGE;
        if (pad_.family == Family::RsaX509) {
            Bytes recovered, block = leftPadded(digest, k_);
            ossl::PkeyCtx ctx = context(key_.get(), EVP_PKEY_verify_recover_init, pad_);
            if (!runInto(EVP_PKEY_verify_recover, ctx.get(), signature, k_, recovered) || recovered.size() != k_)
                return CKR_SIGNATURE_INVALID;
            return sameSecret(recovered.data(), block.data(), k_) ? CKR_OK : CKR_SIGNATURE_INVALID;
        }
        ossl::PkeyCtx ctx = context(key_.get(), EVP_PKEY_verify_init, pad_);
        return ctx && EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1
                   ? CKR_OK
                   : CKR_SIGNATURE_INVALID;
    }

private:
    // The hash of the data, or the data itself for the raw mechanisms.
    Rv message(Bytes& out) {
        if (md_.started()) return md_.finish(out);
        out = data_;
        if (pad_.family == Family::RsaPss && out.size() != hashSize(pad_.md)) return CKR_DATA_LEN_RANGE;
        return CKR_OK;
    }

    Padding pad_;
    Hash hash_;
    ossl::SharedKey key_;
    size_t k_;
    MdStream md_;
    Bytes data_;
};

Rv rsaKey(const Object& key, uint32_t wantedClass, ossl::SharedKey& out) {
    if (key.objectClass() != wantedClass) return CKR_KEY_TYPE_INCONSISTENT;
    return loadKey(key, out);
}

}  // namespace

Rv makeRsaCipher(const MechanismInfo& info, const wire::Mechanism& mech, const Object& key, bool encrypt,
                 std::unique_ptr<CipherOp>& out) {
    if (info.family == Family::RsaPss || info.md != Hash::None) return CKR_MECHANISM_INVALID;
    Padding pad;
    pad.family = info.family;
    if (info.family == Family::RsaOaep) {
        OaepParams oaep;
        if (Rv rv = parseOaep(mech, oaep); rv != CKR_OK) return rv;
        pad.md = oaep.hash;
        pad.mgf = oaep.mgf;
        pad.label = std::move(oaep.label);
    }
    ossl::SharedKey pkey;
    if (Rv rv = rsaKey(key, encrypt ? CKO_PUBLIC_KEY : CKO_PRIVATE_KEY, pkey); rv != CKR_OK) return rv;
    out = std::make_unique<RsaCipher>(std::move(pad), std::move(pkey), encrypt);
    return CKR_OK;
}

Rv makeRsaSigner(const MechanismInfo& info, const wire::Mechanism& mech, const Object& key, bool sign,
                 std::unique_ptr<SignOp>& out) {
    if (info.family == Family::RsaOaep) return CKR_MECHANISM_INVALID;
    if (key.objectClass() != (sign ? CKO_PRIVATE_KEY : CKO_PUBLIC_KEY)) return CKR_KEY_TYPE_INCONSISTENT;
    Padding pad;
    pad.family = info.family;
    pad.md = pad.mgf = info.md;
    if (info.family == Family::RsaPss) {
        PssParams pss;
        if (Rv rv = parsePss(mech, pss); rv != CKR_OK) return rv;
        if (info.md != Hash::None && pss.hash != info.md) return CKR_MECHANISM_PARAM_INVALID;
        pad.md = pss.hash;
        pad.mgf = pss.mgf;
        pad.saltLength = int(pss.saltLength);
    }
    ossl::SharedKey pkey;
    if (Rv rv = loadKey(key, pkey); rv != CKR_OK) return rv;
    auto op = std::make_unique<RsaSigner>(std::move(pad), info.md, std::move(pkey));
    if (Rv rv = op->start(); rv != CKR_OK) return rv;
    out = std::move(op);
    return CKR_OK;
}

}  // namespace dravenholt::sim
