// The mechanisms the device performs, and the parameter blocks they take in the device
// layout (little-endian 32-bit numbers, packed).
#pragma once

#include "codec/codec.h"
#include "common.h"
#include "crypto/algorithms.h"

namespace dravenholt::sim {

enum class Family {
    Digest, Hmac, Cmac, BlockEcb, BlockCbc, BlockCbcPad, Ctr,
    RsaPkcs, RsaX509, RsaOaep, RsaPss, Ecdsa, Dsa, AesWrap, AesWrapPad,
};

struct MechanismInfo {
    uint32_t type;
    Family family;
    Hash md;  // the hash of hash-and-sign, digest and HMAC mechanisms
    uint32_t keyType;      // CKK_* the key must have (CKK_DES3 admits double-length keys)
};

// Null for mechanisms the device does not perform.
const MechanismInfo* findMechanism(uint32_t type);

// CKM_MD5 ... CKM_SHA512 and CKG_MGF1_* to hashes; Hash::None when unknown.
Hash hashOfMechanism(uint32_t ckm);
Hash hashOfMgf(uint32_t ckg);

struct PssParams {
    Hash hash;
    Hash mgf;
    uint32_t saltLength;
};
// The 12-byte CK_RSA_PKCS_PSS_PARAMS of the device layout.
Rv parsePss(const wire::Mechanism& mech, PssParams& out);

struct OaepParams {
    Hash hash;
    Hash mgf;
    Bytes label;
};
Rv parseOaep(const wire::Mechanism& mech, OaepParams& out);

// The mechanism's raw parameter block (empty when absent).
const Bytes& parameter(const wire::Mechanism& mech);

}  // namespace dravenholt::sim
