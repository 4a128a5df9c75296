// The device's random generator: OpenSSL's, seeded from the operating system; the key
// generation of the cryptography draws from the same generator.
#pragma once

#include "common.h"

namespace dravenholt::sim {

class Random {
public:
    Random();  // throws std::runtime_error when the generator cannot be seeded
    Random(const Random&) = delete;
    Random& operator=(const Random&) = delete;

    bool fill(uint8_t* out, size_t length);
    Bytes bytes(size_t length);  // empty on failure (never for length 0 callers)
    // Mixes caller-supplied material into the generator state.
    bool seed(const Bytes& material);
};

}  // namespace dravenholt::sim
