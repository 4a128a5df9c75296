// The mixed work that the thread, process and fork tests put on a token: signing, digesting in
// pieces, random numbers, attribute reads and object search, each result checked.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/pkcs11.h"

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
    // "" when nothing went wrong.
    std::string text() const;

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
// C_Initialize with CKF_OS_LOCKING_OK, then the token of slot 0 prepared; failures are test failures.
SigningToken initialisePreparedToken();

// One worker: opens a session of its own on slot 0, puts a data object labelled `label` into
// it, then runs rounds of the operations (signing only with a token to sign with) while
// `more()` says so, and closes its session. Returns the number of operations done.
size_t runWorker(const std::string& label, const SigningToken* signing, const std::function<bool()>& more,
                 Findings& findings);

}  // namespace conc
