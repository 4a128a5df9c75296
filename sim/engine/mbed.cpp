#include "mbed.h"

extern "C" {
#include <mbedtls/constant_time.h>  // a header without C++ linkage guards
}
#include <mbedtls/platform_util.h>

namespace dravenholt::sim {

void wipe(Bytes& bytes) {
    if (!bytes.empty()) mbedtls_platform_zeroize(bytes.data(), bytes.size());
    bytes.clear();
}

Bytes mpiBytes(const mbedtls_mpi& value, size_t width) {
    size_t size = mbedtls_mpi_size(&value);
    if (width < size) width = size;
    Bytes out(width == 0 ? 1 : width);
    mbedtls_mpi_write_binary(&value, out.data(), out.size());
    return out;
}

bool mpiRead(mbedtls_mpi& target, const Bytes& bytes) {
    return mbedtls_mpi_read_binary(&target, bytes.data(), bytes.size()) == 0;
}

bool sameSecret(const uint8_t* a, const uint8_t* b, size_t length) {
    return mbedtls_ct_memcmp(a, b, length) == 0;
}

}  // namespace dravenholt::sim
