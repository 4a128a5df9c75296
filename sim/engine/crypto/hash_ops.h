// Digests and HMACs over mbedtls's message digest layer.
#pragma once

#include "crypto/operation.h"
#include "mbed.h"

namespace dravenholt::sim {

// A running hash or HMAC.
class MdStream {
public:
    // `hmacKey` null: a plain digest.
    Rv start(mbedtls_md_type_t type, const Bytes* hmacKey = nullptr);
    Rv update(const Bytes& in);
    Rv finish(Bytes& out);
    size_t size() const { return size_; }
    bool started() const { return size_ != 0; }

private:
    MdContext ctx_;
    bool hmac_ = false;
    size_t size_ = 0;
};

std::unique_ptr<DigestOp> makeDigestOp(mbedtls_md_type_t type);
std::unique_ptr<SignOp> makeHmacOp(mbedtls_md_type_t type, const Bytes& key);

// Constant-time comparison of a computed and a presented MAC or signature.
Rv compareMac(const Bytes& expected, const Bytes& presented);

}  // namespace dravenholt::sim
