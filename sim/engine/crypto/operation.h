// Active cryptographic operations of a session. Cipher operations are values that can be
// copied, so that a length query or a too-small buffer can run on a copy and leave the
// operation itself untouched.
#pragma once

#include <memory>

#include "common.h"

namespace dravenholt::sim {

class CipherOp {
public:
    virtual ~CipherOp() = default;
    virtual std::unique_ptr<CipherOp> clone() const = 0;
    virtual Rv update(const Bytes& in, Bytes& out) = 0;
    virtual Rv finish(Bytes& out) = 0;
    // One call over the whole input; mechanisms without a multi-part form override it.
    virtual Rv single(const Bytes& in, Bytes& out) {
        Bytes tail;
        if (Rv rv = update(in, out); rv != CKR_OK) return rv;
        if (Rv rv = finish(tail); rv != CKR_OK) return rv;
        out.insert(out.end(), tail.begin(), tail.end());
        return CKR_OK;
    }
};

class SignOp {
public:
    virtual ~SignOp() = default;
    virtual Rv update(const Bytes& in) = 0;
    // Length of the signature or MAC that sign() produces.
    virtual size_t signatureLength() const = 0;
    virtual Rv sign(Bytes& out) = 0;
    virtual Rv verify(const Bytes& signature) = 0;
};

class DigestOp {
public:
    virtual ~DigestOp() = default;
    virtual Rv update(const Bytes& in) = 0;
    virtual size_t digestLength() const = 0;
    virtual Rv finish(Bytes& out) = 0;
};

}  // namespace dravenholt::sim
