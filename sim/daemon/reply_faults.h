// Faults the simulator can put into its replies, so that clients can be tested against a device
// that misbehaves: no reply, a late one, a broken one, or a connection that drops.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "server_connection.h"

namespace dravenholt::sim {

enum class ReplyFault {
    None,
    Silent,      // no reply; the connection stays
    Late,        // the reply, after a delay
    DropBefore,  // the connection drops instead of the reply
    DropDuring,  // half the reply, then the connection drops
    DropAfter,   // the whole reply, then the connection drops
    Truncated,   // half the reply
    Oversized,   // the reply followed by a 3000-byte field: longer than any reply may be
    Garbage,     // bytes of the reply's length that mean nothing
    Hollow,      // the return value alone, without the fields that carry the result
    Trickle,     // the reply a record a byte, `delay` apart
    Split,       // no fault: the reply in two records cut at `cut`, `delay` apart
};

struct FaultPlan {
    ReplyFault fault = ReplyFault::None;
    std::chrono::milliseconds delay{1500};  // for Late; between records for Trickle and Split
    size_t cut = 0;                         // for Split
};

// "silent", "late" or "late:MS", "drop-before", "drop-during", "drop-after", "truncated",
// "oversized", "garbage", "hollow", "trickle" or "trickle:MS" (100 ms by default), "none";
// nothing for any other text.
std::optional<FaultPlan> parseFaultPlan(const std::string& text);
extern const char* const kFaultNames;  // the list above, for usage texts

// What a device with `plan` sends in place of `healthy` (Late waits here before answering).
Reply faultyReply(const FaultPlan& plan, Bytes healthy);

// A fault plan that tests change while the device serves.
class FaultSwitch {
public:
    void set(FaultPlan plan) {
        std::lock_guard<std::mutex> guard(mutex_);
        plan_ = plan;
    }
    FaultPlan get() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return plan_;
    }

private:
    mutable std::mutex mutex_;
    FaultPlan plan_;
};

// Answers through `healthy` and then spoils the reply as the switch says at that moment; the
// second form does so for the responder of every connection.
Responder withFaults(Responder healthy, std::shared_ptr<const FaultSwitch> faults);
ResponderFactory withFaults(ResponderFactory healthy, std::shared_ptr<const FaultSwitch> faults);

}  // namespace dravenholt::sim
