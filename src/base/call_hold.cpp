#include "base/call_hold.h"

#include <atomic>

namespace dravenholt {
namespace {

// Sequentially consistent on both sides: a call either sees `closing` and turns back, or the
// unload path sees the call counted and leaves everything in place.
std::atomic<unsigned> callsInside{0};
std::atomic<bool> closing{false};

}  // namespace

CallHold::CallHold() noexcept {
    callsInside.fetch_add(1);
    admitted_ = !closing.load();
}

CallHold::~CallHold() { callsInside.fetch_sub(1); }

bool closeToCalls() noexcept {
    closing.store(true);
    return callsInside.load() == 0;
}

}  // namespace dravenholt
