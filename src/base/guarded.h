// The outermost frame of every exported function: the call is held (see call_hold.h) and no
// exception leaves it.
#pragma once

#include <new>

#include "base/call_hold.h"
#include "base/pkcs11.h"

namespace dravenholt {

// The body's return code; CKR_HOST_MEMORY when memory ran out, CKR_FUNCTION_FAILED for any
// other exception, CKR_CRYPTOKI_NOT_INITIALIZED while the library is being unloaded.
template <class Body>
CK_RV guarded(Body&& body) noexcept {
    CallHold hold;
    if (!hold.admitted()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_FUNCTION_FAILED;
    }
}

}  // namespace dravenholt
