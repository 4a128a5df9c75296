// The device's random generator: OpenSSL's, seeded from the operating system; the key
// generation of the cryptography draws from the same generator. Its output is drawn ahead, a
// pool at a time, and served in order: a call of OpenSSL's generator costs about as much for
// 32 bytes as for 4 KiB. Served bytes are wiped from the pool; seeding and fork() discard it.
// Not thread-safe: the device's lock covers it.
#pragma once

#include <array>

#include "common.h"

namespace dravenholt::sim {

class Random {
public:
    static constexpr size_t kPool = 4096;

    Random();  // throws std::runtime_error when the generator cannot be seeded
    ~Random();
    Random(const Random&) = delete;
    Random& operator=(const Random&) = delete;

    bool fill(uint8_t* out, size_t length);
    Bytes bytes(size_t length);  // empty on failure (never for length 0 callers)
    // Mixes caller-supplied material into the generator state; what is served next is drawn
    // after it.
    bool seed(const Bytes& material);

private:
    void discardPool();

    std::array<uint8_t, kPool> pool_;
    size_t used_ = kPool;     // served from the front
    unsigned generation_ = 0; // of the process, counted up in every child of fork()
};

}  // namespace dravenholt::sim
