#include "random.h"

#include <climits>
#include <stdexcept>

#include <openssl/rand.h>

namespace dravenholt::sim {

Random::Random() {
    if (RAND_status() != 1) throw std::runtime_error("random generator could not be seeded");
}

bool Random::fill(uint8_t* out, size_t length) {
    while (length > 0) {
        int piece = length < size_t(INT_MAX) ? int(length) : INT_MAX;
        if (RAND_bytes(out, piece) != 1) return false;
        out += piece;
        length -= size_t(piece);
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
    return true;
}

}  // namespace dravenholt::sim
