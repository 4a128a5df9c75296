// What the administration calls share: the export frame, single calls addressed to a slot, and
// the 32-bit capacities of the caller's 64-bit lengths.
#pragma once

#include <cstdint>

#include "base/guarded.h"
#include "orvo/admin.h"
#include "token/operation.h"

namespace dravenholt::admin {

// The export frame of a u32 function: the body's code, never an exception.
template <class Body>
uint32_t exported(Body&& body) noexcept {
    return static_cast<uint32_t>(guarded(body));
}

// Whether a caller's length can travel in a 32-bit field.
inline bool lengthFitsWire(uint64_t length) { return length <= 0xFFFFFFFFu; }

// The capacity of a caller's buffer as the wire carries it: beyond 32 bits it counts as the
// largest, since no reply can be longer.
inline uint32_t wireCapacity(uint64_t length) {
    return length > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(length);
}

// A single call to the device of `slot` after the initialisation check; `fill` sets the request
// fields. The calls that only send values check none of them: their meaning is the device's.
// A slot that is no port fails in the device call.
template <class Fill>
uint32_t slotCall(uint32_t slot, uint32_t function, Fill&& fill) {
    return exported([&]() -> CK_RV {
        Entry entry(getContext(), nullptr);
        return entry.slot(slot, [&](int32_t port) {
            DeviceCall call(function, port);
            fill(call);
            return call.run(entry.context());
        }, false);
    });
}

}  // namespace dravenholt::admin
