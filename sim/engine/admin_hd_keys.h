// Hierarchical deterministic keys on secp256k1, the scheme of Bitcoin wallets: a master key
// and chain code from a seed, child keys along a path of 32-bit indices (an index from
// 0x80000000 on derives a hardened child), compressed public keys and ECDSA signatures.
#pragma once

#include <vector>

#include "common.h"

namespace dravenholt::sim {

constexpr size_t kMinSeed = 16;
constexpr size_t kMaxSeed = 64;
constexpr size_t kMaxPathDepth = 255;

struct ExtendedKey {
    Bytes key;        // 32-byte private scalar
    Bytes chainCode;  // 32 bytes
    ExtendedKey() = default;
    ExtendedKey(const ExtendedKey&) = default;
    ExtendedKey& operator=(const ExtendedKey&) = default;
    ~ExtendedKey() {
        wipe(key);
        wipe(chainCode);
    }
};

// Each returns CKR_OK or the code for the failure; `out` is written only on success.
Rv masterKeyFromSeed(const Bytes& seed, ExtendedKey& out);
Rv derivePath(const ExtendedKey& master, const std::vector<uint32_t>& path, ExtendedKey& out);
Rv compressedPublicKey(const Bytes& key, Bytes& out);  // 33 bytes
// r and s, 32 bytes each, s in its lower half; deterministic for a key and digest (the nonce
// of RFC 6979 with SHA-256).
Rv signDigest(const Bytes& key, const Bytes& digest, Bytes& out);

}  // namespace dravenholt::sim
