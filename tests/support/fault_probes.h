// What the fault tests share: a token prepared through the library, probed by calls whose replies
// are decoded into the caller's memory (random bytes over several reports or frames on USB,
// attribute values, the token information's fixed fields), each buffer between guard bytes that
// must stay untouched whatever the device sends; and the check of one row of a fault table.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "base/pkcs11.h"
#include "support/test_env.h"

namespace orvotest {

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
    // The probe once the library has connected anew: a probe that needs the old connection's
    // session finds it gone (checked), then runs in a new session, as a program would go on.
    ProbeResult runAfterReconnect(Probe probe);

private:
    void openSession();  // logged in as the user, with the data object
    CK_SESSION_HANDLE session_ = 0;
    CK_OBJECT_HANDLE object_ = 0;
};

// One row of a fault table: the faulty call's result, and whether it waits out the timeout first.
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
