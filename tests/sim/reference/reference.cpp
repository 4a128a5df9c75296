#include "reference/reference.h"

#include <algorithm>

#include <mbedtls/aes.h>

namespace simref {

Bytes md(mbedtls_md_type_t type, const Bytes& data) {
    const mbedtls_md_info_t* info = mbedtls_md_info_from_type(type);
    Bytes out(mbedtls_md_get_size(info));
    mbedtls_md(info, data.data(), data.size(), out.data());
    return out;
}

Bytes aesCtr(const Bytes& key, const Bytes& counter, const Bytes& data) {
    mbedtls_aes_context ctx;
    mbedtls_aes_init(&ctx);
    mbedtls_aes_setkey_enc(&ctx, key.data(), unsigned(key.size() * 8));
    unsigned char block[16], stream[16];
    std::copy(counter.begin(), counter.begin() + 16, block);
    size_t offset = 0;
    Bytes out(data.size());
    mbedtls_aes_crypt_ctr(&ctx, data.size(), &offset, block, stream, data.data(), out.data());
    mbedtls_aes_free(&ctx);
    return out;
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 13 + seed);
    return b;
}

}  // namespace simref
