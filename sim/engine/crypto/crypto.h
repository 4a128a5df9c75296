// What the request handlers ask of the cryptography: operations for a mechanism and key, key
// checks, key generation, wrapping and derivation. All primitives come from OpenSSL's
// libcrypto, whose generator (random.h) supplies the randomness.
#pragma once

#include <memory>

#include "codec/codec.h"
#include "crypto/operation.h"
#include "object.h"
#include "random.h"

namespace dravenholt::sim {

// `usage` is the attribute that must allow the key's use: CKA_ENCRYPT, CKA_DECRYPT, CKA_WRAP
// or CKA_UNWRAP.
Rv makeCipher(const wire::Mechanism& mech, const Object& key, bool encrypt,
              uint32_t usage, std::unique_ptr<CipherOp>& out);
Rv makeSigner(const wire::Mechanism& mech, const Object& key, bool sign, std::unique_ptr<SignOp>& out);
Rv makeDigest(const wire::Mechanism& mech, std::unique_ptr<DigestOp>& out);

// Checks the key material of a key made from a template and fills in what follows from it
// (CKA_VALUE_LEN, CKA_MODULUS_BITS, the CRT values of an RSA private key, ...).
Rv checkKeyMaterial(Object& key);

// Fills in the value of a secret key or both halves of a key pair; the objects already hold
// their templates with class and key type.
Rv generateSecret(Random& random, uint32_t mechanism, Object& key);
Rv generatePair(const wire::Mechanism& mech, Object& pub, Object& priv);
// Fills in a domain-parameter object (class and key type already set).
Rv generateParameters(uint32_t mechanism, Object& params);

// The bytes a key travels as when wrapped: a secret key's value, a private key's PKCS#8
// encoding (RSA, EC, DSA); and the reverse, filling the key material of `key` from them.
Rv exportKey(const Object& key, Bytes& out);
Rv importKey(const Bytes& in, Object& key);

// Fills in the value of a key derived from `base`.
Rv deriveSecret(const wire::Mechanism& mech, const Object& base, Object& key);

}  // namespace dravenholt::sim
