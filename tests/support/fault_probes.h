// What the fault tests share: a token prepared through the library, probed by calls whose replies
// are decoded into the caller's memory (random bytes over several reports or frames on USB,
// attribute values, the token information's fixed fields), each buffer between guard bytes that
// must stay untouched whatever the device sends; and the check of one row of a fault table.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/pkcs11.h"
#include "support/test_env.h"

namespace orvotest {

// A caller's buffer with guard bytes on both sides.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t size) : size_(size), storage_(size + 2 * kGuard, kPattern) {}
    uint8_t* data() { return storage_.data() + kGuard; }
    CK_ULONG size() const { return static_cast<CK_ULONG>(size_); }
    bool guardsIntact() const {
        return std::all_of(storage_.begin(), storage_.begin() + kGuard, [](uint8_t b) { return b == kPattern; }) &&
               std::all_of(storage_.end() - kGuard, storage_.end(), [](uint8_t b) { return b == kPattern; });
    }

private:
    static constexpr size_t kGuard = 64;
    static constexpr uint8_t kPattern = 0xA5;
    size_t size_;
    std::vector<uint8_t> storage_;
};

enum class Probe { Random, Attributes, TokenInfo };
inline constexpr Probe kProbes[] = {Probe::Random, Probe::Attributes, Probe::TokenInfo};
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
    // Configures the library in `dir` (log in orvo.log, the timeout, the "transport" object if
    // any), initialises it and prepares the token of slot 0.
    void start(const TestDir& dir, std::chrono::milliseconds timeout, const std::string& transport = "");
    ProbeResult run(Probe probe);
    // The probe once the library has connected to the device anew: the device ended the old
    // connection's session, so a probe that needs it first finds it gone (checked here) and then
    // runs in a new session with a new data object, as a program goes on after such a failure.
    ProbeResult runAfterReconnect(Probe probe);

private:
    void openSession();  // logged in as the user, with the data object
    CK_SESSION_HANDLE session_ = 0;
    CK_OBJECT_HANDLE object_ = 0;
};

// One row of a fault table: what the faulty call must return, and whether it waits out the
// timeout first (a device that sends nothing usable in time).
struct FaultRow {
    std::string transport, fault;
    CK_RV rv = CKR_FUNCTION_FAILED;
    bool waitsTimeout = false;
    std::chrono::milliseconds timeout, settle;  // settle: until the fault has played out
};

// For every probe: the faulty call, a pause, the next call, printed as a "fault table" line. The
// faulty call must give row.rv within the timeout without touching memory beyond the caller's
// buffers; the next must succeed with the right values (else the log in `dir` is shown).
void checkFaultRow(const FaultRow& row, const TestDir& dir, const std::function<ProbeResult(Probe)>& faulty,
                   const std::function<ProbeResult(Probe)>& next);

// A fault's name as a test name: what is not a letter or digit becomes '_'.
std::string testName(std::string name);

}  // namespace orvotest
