// Digests and MACs (HMAC, AES-CMAC) over OpenSSL's EVP layer.
#pragma once

#include "crypto/algorithms.h"
#include "crypto/operation.h"
#include "crypto/ossl.h"

namespace dravenholt::sim {

// A running hash.
class MdStream {
public:
    Rv start(Hash hash);
    Rv update(const Bytes& in);
    Rv finish(Bytes& out);
    size_t size() const { return size_; }
    bool started() const { return size_ != 0; }

private:
    ossl::MdCtx ctx_;
    size_t size_ = 0;
};

std::unique_ptr<DigestOp> makeDigestOp(Hash hash);
std::unique_ptr<SignOp> makeHmacOp(Hash hash, const Bytes& key);
std::unique_ptr<SignOp> makeCmacOp(const Bytes& key);  // null for a key that is no AES key

// Constant-time comparison of a computed and a presented MAC or signature.
Rv compareMac(const Bytes& expected, const Bytes& presented);

}  // namespace dravenholt::sim
