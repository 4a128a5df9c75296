// Key material held in object attributes, parsed into OpenSSL keys and written back.
#pragma once

#include "crypto/ossl.h"
#include "object.h"

namespace dravenholt::sim {

// Supported curves: P-256, P-384 and P-521, named by the DER OID of CKA_EC_PARAMS.
struct Curve {
    const char* name;  // OpenSSL's group name
    int nid;
    Bytes oid;         // DER, tag and length included
    size_t fieldBytes;
};
const Curve* curveFromParams(const Bytes& ecParams);
const Curve* curveFromName(const char* name);

// CKA_EC_POINT is a DER OCTET STRING around the uncompressed point; both that and the bare
// point are accepted on input. False for anything else or a point off the curve.
bool readPoint(const Curve& curve, const Bytes& encoded, Bytes& point);
Bytes pointAttribute(const Bytes& point);

// The object's key, parsed on first use and kept with the object.
Rv loadKey(const Object& key, ossl::SharedKey& out);
// Parses the object's key material without keeping it.
Rv parseKey(const Object& key, ossl::Pkey& out);

// Writes the material of an OpenSSL key into the public half, the private half or both
// (either may be null).
Rv storeKey(EVP_PKEY* pkey, uint32_t keyType, Object* pub, Object* priv);

// Lengths a secret key of this type may have; false for key types without a fixed rule.
bool secretLengthOk(uint32_t keyType, size_t length);

// The parts of the key types, each in its own file.
Rv parseRsa(const Object& key, ossl::Pkey& out);
Rv checkRsa(Object& key);
void storeRsa(EVP_PKEY* pkey, Object* pub, Object* priv);
// DSA (prime, subprime, base) and DH (prime, base) domains over a prime field.
Rv parseFiniteField(const Object& key, ossl::Pkey& out);
Rv checkFiniteField(Object& key);
void storeFiniteField(EVP_PKEY* pkey, uint32_t keyType, Object* pub, Object* priv);
// The domain alone, from a domain-parameter object or a key template.
Rv parseDomain(const Object& o, uint32_t keyType, ossl::Pkey& out);
void storeDomain(EVP_PKEY* pkey, uint32_t keyType, Object& o);
constexpr int kMinFieldBits = 1024;
constexpr int kMaxFieldBits = 2048;
// Builds a key of `type` ("RSA", "EC", "DSA", "DH") from its parameters.
Rv keyFromParams(const char* type, OSSL_PARAM_BLD* build, bool priv, ossl::Pkey& out);

}  // namespace dravenholt::sim
