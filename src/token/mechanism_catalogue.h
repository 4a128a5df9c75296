// The mechanism catalogue compiled into the library, the same for every slot.
#pragma once

#include <cstddef>

#include "base/pkcs11.h"

namespace dravenholt {

struct MechanismEntry {
    CK_MECHANISM_TYPE type;
    CK_ULONG minKeySize;
    CK_ULONG maxKeySize;
    CK_FLAGS flags;
};

// The mechanisms C_GetMechanismList reports, in their order.
extern const CK_MECHANISM_TYPE kMechanismList[];
extern const size_t kMechanismListSize;

// Information for a mechanism (also some the list does not name); null when unknown.
const MechanismEntry* findMechanism(CK_MECHANISM_TYPE type);

}  // namespace dravenholt
