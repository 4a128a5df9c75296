// The outermost frame of every exported function: no exception leaves it.
#pragma once

#include <new>

#include "frame/pkcs11.h"

namespace dravenholt {

// The body's return code; CKR_HOST_MEMORY when memory ran out, CKR_FUNCTION_FAILED for any
// other exception.
template <class Body>
CK_RV guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_FUNCTION_FAILED;
    }
}

}  // namespace dravenholt
