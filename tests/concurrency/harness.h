// What the concurrency tests share: the mixed work they put on a token, and orvo-sim in a process
// of its own.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/pkcs11.h"
#include "support/test_env.h"

namespace conc {

using Bytes = std::vector<uint8_t>;

// What went wrong: the first few findings and how many there were. Threads may share one.
class Findings {
public:
    void add(const std::string& what);
    bool check(bool ok, const std::string& what) {
        if (!ok) add(what);
        return ok;
    }
    bool rv(CK_RV got, const std::string& call, CK_RV want = CKR_OK);
    std::string text() const;  // "" when nothing went wrong

private:
    mutable std::mutex mutex_;
    std::vector<std::string> first_;
    size_t count_ = 0;
};

// A token prepared for signing: initialised, the user PIN set, a session logged in as the user
// (kept open, so the login holds for every session), and one P-256 key pair on the token.
struct SigningToken {
    CK_SESSION_HANDLE session = 0;
    CK_OBJECT_HANDLE privateKey = 0;
    CK_OBJECT_HANDLE publicKey = 0;
};
CK_RV loginUser(CK_SESSION_HANDLE session);
CK_RV initialiseWithOsLocking();
// C_Initialize with CKF_OS_LOCKING_OK, then the token of slot 0 prepared; failures are test failures.
SigningToken initialisePreparedToken();

// One worker: opens a session of its own on slot 0, puts a data object labelled `label` into
// it, then runs rounds of the operations (signing only with a token to sign with) while
// `more(round)` says so, and closes its session. Returns the number of operations done.
size_t runWorker(const std::string& label, const SigningToken* signing, const std::function<bool(size_t)>& more,
                 Findings& findings);

// Asks `done` every few milliseconds until it says yes or `limit` has passed; its last answer.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

// orvo-sim on a free loopback port with its state in a fresh directory; the library of this
// process (ORVO_CONFIG_PATH) reaches it through the orvoconfig.json that orvo-sim writes there.
// `clientConfig` holds further keys of that configuration, `options` more of orvo-sim's own.
class SimDaemon {
public:
    explicit SimDaemon(const std::string& clientConfig = "{}", const std::vector<std::string>& options = {});
    ~SimDaemon();
    SimDaemon(const SimDaemon&) = delete;
    SimDaemon& operator=(const SimDaemon&) = delete;
    // Lines of orvo-sim's log that contain `text` ("opened", "closed" for connections).
    size_t logLines(const std::string& text) const;
    std::string log() const { return dir_.read("sim.log"); }

private:
    orvotest::TestDir dir_;
    pid_t pid_ = -1;
};

// The library's configuration that logs every call to `file`.
inline std::string loggingTo(const std::string& file) {
    return R"({"logging": {"loglevel": 10, "logfile": ")" + file + R"("}})";
}

}  // namespace conc
