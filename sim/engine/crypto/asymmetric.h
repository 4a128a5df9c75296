// RSA encryption and signatures; ECDSA and DSA.
#pragma once

#include "crypto/mechanisms.h"
#include "crypto/operation.h"
#include "object.h"

namespace dravenholt::sim {

Rv makeRsaCipher(const MechanismInfo& info, const wire::Mechanism& mech, const Object& key, bool encrypt,
                 std::unique_ptr<CipherOp>& out);
Rv makeRsaSigner(const MechanismInfo& info, const wire::Mechanism& mech, const Object& key, bool sign,
                 std::unique_ptr<SignOp>& out);
// ECDSA and DSA: signatures are r and s, each as wide as the group order, one after the other.
Rv makeDsaSigner(const MechanismInfo& info, const Object& key, bool sign, std::unique_ptr<SignOp>& out);

}  // namespace dravenholt::sim
