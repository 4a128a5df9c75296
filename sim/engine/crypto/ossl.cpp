#include "crypto/ossl.h"

#include <openssl/crypto.h>

namespace dravenholt::sim {

void wipe(Bytes& bytes) {
    if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
    bytes.clear();
}

bool sameSecret(const uint8_t* a, const uint8_t* b, size_t length) { return CRYPTO_memcmp(a, b, length) == 0; }

namespace ossl {

Bn bnFrom(const Bytes& bytes) {
    if (bytes.empty()) return nullptr;
    return Bn(BN_bin2bn(bytes.data(), int(bytes.size()), nullptr));
}

Bytes bnBytes(const BIGNUM* value, size_t width) {
    size_t size = size_t(BN_num_bytes(value));
    if (width < size) width = size;
    Bytes out(width == 0 ? 1 : width);
    BN_bn2binpad(value, out.data(), int(out.size()));
    return out;
}

Bytes keyNumber(const EVP_PKEY* key, const char* name, size_t width) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return {};
    Bn value(raw);
    return bnBytes(value.get(), width);
}

}  // namespace ossl
}  // namespace dravenholt::sim
