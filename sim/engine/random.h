// The device's random generator: CTR-DRBG over the platform entropy source.
#pragma once

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>

#include "common.h"

namespace dravenholt::sim {

class Random {
public:
    Random();  // throws std::runtime_error when the generator cannot be seeded
    ~Random();
    Random(const Random&) = delete;
    Random& operator=(const Random&) = delete;

    bool fill(uint8_t* out, size_t length);
    Bytes bytes(size_t length);  // empty on failure (never for length 0 callers)
    // Mixes caller-supplied material into the generator state.
    bool seed(const Bytes& material);

    // For mbedtls functions that take an f_rng/p_rng pair.
    static int callback(void* self, unsigned char* out, size_t length);

private:
    mbedtls_entropy_context entropy_;
    mbedtls_ctr_drbg_context drbg_;
};

}  // namespace dravenholt::sim
