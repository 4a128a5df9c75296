// Diffie-Hellman over a prime field (mbedtls DHM): domain parameters, key pairs, derivation.
#pragma once

#include "object.h"
#include "random.h"

namespace dravenholt::sim {

// Fills CKA_PRIME and CKA_BASE of a domain-parameter object from CKA_PRIME_BITS.
Rv generateDhParameters(Random& random, Object& params);
Rv generateDhPair(Random& random, Object& pub, Object& priv);
// The shared secret with the peer's public value, as wide as the prime.
Rv dhSecret(Random& random, const Object& priv, const Bytes& peerPublic, Bytes& secret);
Rv checkDhKey(Object& key);

}  // namespace dravenholt::sim
