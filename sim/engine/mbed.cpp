#include "mbed.h"

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

}  // namespace dravenholt::sim
