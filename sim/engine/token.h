// The token itself: label, PINs with their retry counters, configuration values and the
// clock. Everything here but the clock offset is persistent state.
#pragma once

#include <string>

#include "codec/codec.h"
#include "common.h"
#include "random.h"

namespace dravenholt::sim {

struct PinRecord {
    bool set = false;
    Bytes salt;
    Bytes hash;
    uint32_t failures = 0;
};

// Values an administrator may tune; kept with the token so that they persist.
struct TokenConfig {
    uint32_t maxLoginFailures = 5;
    uint32_t minPinLen = 4;
    uint32_t maxPinLen = 64;
    uint32_t sessionTimeout = 0;
    uint32_t bitOptions = 0;
};

struct TokenRecord {
    bool initialized = false;
    std::string label;  // exactly 32 bytes once initialised
    PinRecord so;
    PinRecord user;
    TokenConfig config;
};

enum class PinCheck { Ok, Incorrect, Locked };

class Token {
public:
    TokenRecord record;

    bool locked(const PinRecord& pin) const { return pin.failures >= record.config.maxLoginFailures; }
    bool pinLengthOk(const Bytes& pin) const;
    // Compares `pin` with the record, counting a failure or clearing the counter.
    PinCheck check(PinRecord& record, const Bytes& pin) const;
    static bool setPin(PinRecord& record, const Bytes& pin, Random& random);

    // Wall clock as the token reports it (set by the set-time call).
    void setTime(int64_t secondsSince1970);
    std::string utcTime() const;

    TokenInfoMsg info(const std::string& serial, uint32_t sessions, uint32_t rwSessions,
                      uint32_t maxSessions, size_t usedMemory) const;

private:
    int64_t clockOffset_ = 0;
    uint32_t pinFlags(const PinRecord& pin, uint32_t low, uint32_t final, uint32_t lock) const;
};

}  // namespace dravenholt::sim
