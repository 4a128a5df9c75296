// What the fault tests share: a token prepared through the library, the calls that probe it with
// guarded caller buffers, and a record of each fault's outcome for the fault table.
//
// Every probe is a call whose reply the device call decodes into the caller's memory: random
// bytes (decodeIntoBuffer, several reports or frames on USB), attribute values (the attribute
// table and its copying), the token information (fixed fields). Each buffer sits between guard
// bytes that must stay untouched whatever the device sends.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "base/pkcs11.h"

namespace orvotest {

// A caller's buffer with guard bytes on both sides.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t size);
    uint8_t* data() { return storage_.data() + kGuard; }
    size_t size() const { return size_; }
    bool guardsIntact() const;

private:
    static constexpr size_t kGuard = 64;
    static constexpr uint8_t kPattern = 0xA5;
    size_t size_;
    std::vector<uint8_t> storage_;
};

enum class Probe { Random, Attributes, TokenInfo };
const std::vector<Probe>& allProbes();
const char* probeName(Probe probe);

struct ProbeResult {
    CK_RV rv = CKR_OK;
    std::chrono::milliseconds took{0};
    bool guardsIntact = true;
    bool valuesRight = true;  // on CKR_OK: what came back is what the token holds
};

// A token initialised with both PINs, a user session logged in and a data object to read.
class ProbedToken {
public:
    // Initialises the token of slot 0 through the library (after C_Initialize).
    void prepare();
    ProbeResult run(Probe probe);
    // The probe once the library has connected to the device anew: the device ended the old
    // connection's session, so a probe that needs it first finds it gone (checked here) and then
    // runs in a new session with a new data object, as a program goes on after such a failure.
    ProbeResult runAfterReconnect(Probe probe);
    CK_SESSION_HANDLE session() const { return session_; }

private:
    void openSession();  // logged in as the user, with the data object
    CK_SESSION_HANDLE session_ = 0;
    CK_OBJECT_HANDLE object_ = 0;
};

// One line of the fault table, printed for the report: "fault table | <transport> | <fault> |
// <probe> | <outcome of the faulty call> | <outcome of the next call>".
void recordOutcome(const std::string& transport, const std::string& fault, Probe probe, const ProbeResult& faulty,
                   const ProbeResult& next);

}  // namespace orvotest
