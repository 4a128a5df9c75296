// RSA encryption and signatures, ECDSA.
#pragma once

#include "crypto/mechanisms.h"
#include "crypto/operation.h"
#include "object.h"
#include "random.h"

namespace dravenholt::sim {

Rv makeRsaCipher(Random& random, const MechanismInfo& info, const wire::Mechanism& mech,
                 const Object& key, bool encrypt, std::unique_ptr<CipherOp>& out);
Rv makeRsaSigner(Random& random, const MechanismInfo& info, const wire::Mechanism& mech,
                 const Object& key, bool sign, std::unique_ptr<SignOp>& out);
Rv makeEcdsaSigner(Random& random, const MechanismInfo& info, const Object& key, bool sign,
                   std::unique_ptr<SignOp>& out);

}  // namespace dravenholt::sim
