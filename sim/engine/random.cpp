#include "random.h"

#include <stdexcept>

#include <mbedtls/sha512.h>

namespace dravenholt::sim {

Random::Random() {
    mbedtls_entropy_init(&entropy_);
    mbedtls_ctr_drbg_init(&drbg_);
    static const unsigned char personal[] = "orvo-sim device";
    if (mbedtls_ctr_drbg_seed(&drbg_, mbedtls_entropy_func, &entropy_, personal,
                              sizeof personal - 1) != 0) {
        mbedtls_ctr_drbg_free(&drbg_);
        mbedtls_entropy_free(&entropy_);
        throw std::runtime_error("random generator could not be seeded");
    }
}

Random::~Random() {
    mbedtls_ctr_drbg_free(&drbg_);
    mbedtls_entropy_free(&entropy_);
}

bool Random::fill(uint8_t* out, size_t length) {
    while (length > 0) {
        size_t piece = length < MBEDTLS_CTR_DRBG_MAX_REQUEST ? length : MBEDTLS_CTR_DRBG_MAX_REQUEST;
        if (mbedtls_ctr_drbg_random(&drbg_, out, piece) != 0) return false;
        out += piece;
        length -= piece;
    }
    return true;
}

Bytes Random::bytes(size_t length) {
    Bytes out(length);
    if (!fill(out.data(), out.size())) out.clear();
    return out;
}

bool Random::seed(const Bytes& material) {
    // Condense any amount of seed material to what one reseed takes as additional input.
    unsigned char digest[64];
    if (mbedtls_sha512_ret(material.data(), material.size(), digest, 0) != 0) return false;
    return mbedtls_ctr_drbg_reseed(&drbg_, digest, sizeof digest) == 0;
}

int Random::callback(void* self, unsigned char* out, size_t length) {
    return static_cast<Random*>(self)->fill(out, length) ? 0 : MBEDTLS_ERR_CTR_DRBG_ENTROPY_SOURCE_FAILED;
}

}  // namespace dravenholt::sim
