// Independent computations for the tests that check the simulator's results: mbedtls called
// directly, never the simulator's own cryptography.
#pragma once

#include <cstdint>
#include <vector>

#include <mbedtls/md.h>

namespace simref {

using Bytes = std::vector<uint8_t>;

inline Bytes md(mbedtls_md_type_t type, const Bytes& data) {
    const mbedtls_md_info_t* info = mbedtls_md_info_from_type(type);
    Bytes out(mbedtls_md_get_size(info));
    mbedtls_md(info, data.data(), data.size(), out.data());
    return out;
}

inline Bytes pattern(size_t n, uint8_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 13 + seed);
    return b;
}

}  // namespace simref
