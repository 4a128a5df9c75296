#include "random.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <stdexcept>

#include <openssl/crypto.h>
#include <openssl/rand.h>

namespace dravenholt::sim {
namespace {

// A child of fork() holds a copy of every pool; it must never serve what its parent serves.
std::atomic<unsigned> processGeneration{0};

unsigned currentGeneration() {
    static const bool counted = pthread_atfork(nullptr, nullptr, [] { ++processGeneration; }) == 0;
    if (!counted) throw std::runtime_error("random generator: cannot follow fork()");
    return processGeneration.load(std::memory_order_relaxed);
}

}  // namespace

Random::Random() : generation_(currentGeneration()) {
    if (RAND_status() != 1) throw std::runtime_error("random generator could not be seeded");
}

Random::~Random() { discardPool(); }

void Random::discardPool() {
    OPENSSL_cleanse(pool_.data() + used_, kPool - used_);
    used_ = kPool;
}

bool Random::fill(uint8_t* out, size_t length) {
    if (generation_ != currentGeneration()) {
        discardPool();
        generation_ = currentGeneration();
    }
    while (length > 0) {
        if (used_ == kPool) {
            if (RAND_bytes(pool_.data(), int(kPool)) != 1) return false;
            used_ = 0;
        }
        size_t piece = std::min(length, kPool - used_);
        std::memcpy(out, pool_.data() + used_, piece);
        OPENSSL_cleanse(pool_.data() + used_, piece);
        used_ += piece;
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
    // Counted as no entropy: it is mixed in, never trusted.
    if (!material.empty()) RAND_add(material.data(), int(material.size() < INT_MAX ? material.size() : INT_MAX), 0.0);
    discardPool();
    return true;
}

}  // namespace dravenholt::sim
