#include "reply_faults.h"

#include <algorithm>
#include <random>
#include <thread>

namespace dravenholt::sim {

namespace {

struct Named {
    const char* name;
    ReplyFault fault;
};

const Named kNamed[] = {
    {"none", ReplyFault::None},           {"silent", ReplyFault::Silent},
    {"late", ReplyFault::Late},           {"drop-before", ReplyFault::DropBefore},
    {"drop-during", ReplyFault::DropDuring}, {"drop-after", ReplyFault::DropAfter},
    {"truncated", ReplyFault::Truncated}, {"oversized", ReplyFault::Oversized},
    {"garbage", ReplyFault::Garbage},     {"hollow", ReplyFault::Hollow},
    {"trickle", ReplyFault::Trickle},
};

constexpr size_t kOversizedField = 3000;

Bytes firstHalf(Bytes bytes) {
    bytes.resize(bytes.size() / 2);
    return bytes;
}

// The reply with one more field 3 (a byte string) of kOversizedField bytes behind it.
Bytes oversized(Bytes bytes) {
    bytes.push_back(0x1A);  // field 3, length-delimited
    size_t length = kOversizedField;
    for (; length >= 0x80; length >>= 7) bytes.push_back(static_cast<uint8_t>(length | 0x80));
    bytes.push_back(static_cast<uint8_t>(length));
    bytes.insert(bytes.end(), kOversizedField, 0x5A);
    return bytes;
}

// The reply's first field, its return value (a tag byte and a varint), which the encoder writes
// first.
Bytes returnValueOnly(Bytes bytes) {
    size_t end = 1;
    while (end < bytes.size() && (bytes[end++] & 0x80)) {
    }
    bytes.resize(std::min(end, bytes.size()));
    return bytes;
}

// The same meaningless bytes every time, so that a test sees the same outcome every run.
Bytes garbage(size_t size) {
    std::mt19937 generator(static_cast<uint32_t>(size));
    Bytes out(size ? size : 1);
    for (auto& byte : out) byte = static_cast<uint8_t>(generator());
    out[0] = 0xFF;  // never a well-formed first field
    return out;
}

}  // namespace

const char* const kFaultNames =
    "none, silent, late[:MS], drop-before, drop-during, drop-after, truncated, oversized, garbage, hollow, "
    "trickle[:MS]";

std::optional<FaultPlan> parseFaultPlan(const std::string& text) {
    std::string name = text.substr(0, text.find(':'));
    FaultPlan plan;
    if (name == "trickle") plan.delay = std::chrono::milliseconds(100);
    if (size_t colon = text.find(':'); colon != std::string::npos) {
        std::string ms = text.substr(colon + 1);
        if ((name != "late" && name != "trickle") || ms.empty() || ms.size() > 7 ||
            ms.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        plan.delay = std::chrono::milliseconds(std::stoul(ms));
    }
    for (const Named& n : kNamed) {
        if (name == n.name) {
            plan.fault = n.fault;
            return plan;
        }
    }
    return std::nullopt;
}

Reply faultyReply(const FaultPlan& plan, Bytes healthy) {
    switch (plan.fault) {
        case ReplyFault::None: return Reply(std::move(healthy));
        case ReplyFault::Silent: return Reply(Bytes{});
        case ReplyFault::Late:
            std::this_thread::sleep_for(plan.delay);
            return Reply(std::move(healthy));
        case ReplyFault::DropBefore: return Reply::dropAfter({});
        case ReplyFault::DropDuring: return Reply::dropAfter(firstHalf(std::move(healthy)));
        case ReplyFault::DropAfter: return Reply::dropAfter(std::move(healthy));
        case ReplyFault::Truncated: return Reply(firstHalf(std::move(healthy)));
        case ReplyFault::Oversized: return Reply(oversized(std::move(healthy)));
        case ReplyFault::Garbage: return Reply(garbage(healthy.size()));
        case ReplyFault::Hollow: return Reply(returnValueOnly(std::move(healthy)));
        case ReplyFault::Trickle:
        case ReplyFault::Split: {
            Reply reply(std::move(healthy));
            reply.pause = plan.delay;
            if (plan.fault == ReplyFault::Split)
                reply.cuts = {plan.cut};
            else
                for (size_t at = 1; at < reply.bytes.size(); ++at) reply.cuts.push_back(at);
            return reply;
        }
    }
    return Reply(std::move(healthy));
}

Responder withFaults(Responder healthy, std::shared_ptr<const FaultSwitch> faults) {
    return [healthy = std::move(healthy), faults = std::move(faults)](const Bytes& request) {
        Reply reply = healthy(request);
        FaultPlan plan = faults->get();
        if (reply.end || plan.fault == ReplyFault::None) return reply;
        return faultyReply(plan, std::move(reply.bytes));
    };
}

ResponderFactory withFaults(ResponderFactory healthy, std::shared_ptr<const FaultSwitch> faults) {
    return [healthy = std::move(healthy), faults = std::move(faults)] { return withFaults(healthy(), faults); };
}

}  // namespace dravenholt::sim
