// What the concurrency tests share: the mixed work they put on a token, forked children, orvo-sim
// in a process of its own, and a token behind a virtual HID device.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/pkcs11.h"
#include "support/test_env.h"
#include "vhid/vhid.h"

namespace conc {

using Bytes = std::vector<uint8_t>;

// What went wrong, kept short: the first few findings and how many there were. Threads may
// share one.
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

// A function run in a forked child process, which sends its findings to the parent through a
// pipe. An alarm ends a child that hangs.
class Child {
public:
    enum class Leave {
        Immediately,  // _exit: what a child of a process with threads of its own must do
        ThroughExit,  // exit(): static destructors and exit handlers run, the library's among them
    };
    explicit Child(std::function<void(Findings&)> body, Leave leave = Leave::Immediately);
    ~Child() { if (pid_ > 0) wait(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // Waits for the child: its findings, "" when it found nothing, or how it ended otherwise.
    std::string wait();

private:
    pid_t pid_ = -1;
    int pipe_ = -1;
};

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

// A simulated token behind a virtual USB HID device, its engine in this process, plugged in with
// the identifiers the library looks for by default (which a fresh configuration `dir` keeps), and
// unplugged again.
struct HidToken {
    HidToken();
    ~HidToken() { dravenholt::vhid::unplugAll(); }
    orvotest::TestDir dir;
    std::shared_ptr<dravenholt::vhid::VirtualDevice> device;
};

// What a device's journal shows of the exchanges of its hosts.
struct Exchanges {
    size_t intrusions = 0;  // reports of another host between a request's first report and its reply
    size_t turns = 0;       // replies to another host than the one answered before
    std::map<uint32_t, size_t> replies;  // by host
};
Exchanges exchanges(const std::vector<dravenholt::vhid::JournalEntry>& journal);

}  // namespace conc
