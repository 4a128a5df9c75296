#include <mbedtls/ecdsa.h>

#include "crypto/asymmetric.h"
#include "crypto/hash_ops.h"
#include "crypto/keys.h"

namespace dravenholt::sim {
namespace {

// Signatures are r and s, each as wide as the curve's order, one after the other.
class EcdsaSigner : public SignOp {
public:
    EcdsaSigner(Random& random, mbedtls_md_type_t md, Object key, bool sign)
        : random_(random), md_(md), key_(std::move(key)), sign_(sign) {}

    Rv start() {
        Rv rv = sign_ ? loadEcPrivate(key_, group_, d_) : loadEcPublic(key_, group_, q_);
        if (rv != CKR_OK) return rv;
        return md_ == MBEDTLS_MD_NONE ? CKR_OK : hash_.start(md_);
    }
    Rv update(const Bytes& in) override {
        if (hash_.started()) return hash_.update(in);
        data_.insert(data_.end(), in.begin(), in.end());
        return data_.size() > 1024 ? CKR_DATA_LEN_RANGE : CKR_OK;
    }
    size_t signatureLength() const override { return 2 * orderBytes(); }

    Rv sign(Bytes& out) override {
        Bytes digest;
        if (Rv rv = message(digest); rv != CKR_OK) return rv;
        Mpi r, s;
        if (mbedtls_ecdsa_sign(group_.get(), r.get(), s.get(), d_.get(), digest.data(), digest.size(),
                               Random::callback, &random_) != 0)
            return CKR_DEVICE_ERROR;
        out = mpiBytes(*r.get(), orderBytes());
        Bytes sb = mpiBytes(*s.get(), orderBytes());
        out.insert(out.end(), sb.begin(), sb.end());
        return CKR_OK;
    }

    Rv verify(const Bytes& signature) override {
        Bytes digest;
        if (Rv rv = message(digest); rv != CKR_OK) return rv;
        size_t half = orderBytes();
        if (signature.size() != 2 * half) return CKR_SIGNATURE_LEN_RANGE;
        Mpi r, s;
        if (!mpiRead(*r.get(), Bytes(signature.begin(), signature.begin() + long(half))) ||
            !mpiRead(*s.get(), Bytes(signature.begin() + long(half), signature.end())))
            return CKR_SIGNATURE_INVALID;
        return mbedtls_ecdsa_verify(group_.get(), digest.data(), digest.size(), q_.get(), r.get(), s.get()) == 0
                   ? CKR_OK
                   : CKR_SIGNATURE_INVALID;
    }

private:
    size_t orderBytes() const { return (group_.get()->nbits + 7) / 8; }
    Rv message(Bytes& out) {
        if (hash_.started()) return hash_.finish(out);
        out = data_;
        return CKR_OK;
    }

    Random& random_;
    mbedtls_md_type_t md_;
    Object key_;
    bool sign_;
    EcGroup group_;
    Mpi d_;
    EcPoint q_;
    MdStream hash_;
    Bytes data_;
};

}  // namespace

Rv makeEcdsaSigner(Random& random, const MechanismInfo& info, const Object& key, bool sign,
                   std::unique_ptr<SignOp>& out) {
    if (key.objectClass() != (sign ? CKO_PRIVATE_KEY : CKO_PUBLIC_KEY)) return CKR_KEY_TYPE_INCONSISTENT;
    auto op = std::make_unique<EcdsaSigner>(random, info.md, key, sign);
    if (Rv rv = op->start(); rv != CKR_OK) return rv;
    out = std::move(op);
    return CKR_OK;
}

}  // namespace dravenholt::sim
