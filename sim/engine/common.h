// Shared vocabulary of the simulated device: byte strings, return codes as they travel, and the
// little-endian 32-bit numbers of the device layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

namespace dravenholt::sim {

using Bytes = std::vector<uint8_t>;
using Rv = uint32_t;  // a CK_RV on the wire

// Length that stands for CK_UNAVAILABLE_INFORMATION on the wire.
constexpr uint32_t kUnavailable = 0xFFFFFFFF;
// Largest encoded message in either direction.
constexpr size_t kMaxMessage = 2048;
// Largest output byte string a reply can carry beside its return code and length.
constexpr size_t kMaxOutput = kMaxMessage - 24;

inline uint32_t readLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline Bytes le32(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

inline Bytes toBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Overwrites secrets before their memory is released.
void wipe(Bytes& bytes);
// Compares secrets in time independent of their contents.
bool sameSecret(const uint8_t* a, const uint8_t* b, size_t length);

}  // namespace dravenholt::sim
