// Calls inside the library, counted so that unloading it, or the process ending while threads
// are in calls, never frees what a call still uses. Every exported function holds a CallHold
// for its whole run: guarded() holds one for the CK_RV ones, held() for the others.
#pragma once

namespace dravenholt {

class CallHold {
public:
    CallHold() noexcept;
    ~CallHold();
    CallHold(const CallHold&) = delete;
    CallHold& operator=(const CallHold&) = delete;
    // False once the library is being unloaded: the call then touches nothing of it.
    bool admitted() const { return admitted_; }

private:
    bool admitted_;
};

// `body()` under a CallHold for the exported functions that are not CK_RV ones: while the
// library is being unloaded the body does not run and the result is a value-initialised one
// (false, a null pointer, nothing).
template <class Body>
auto held(Body&& body) -> decltype(body()) {
    CallHold hold;
    if (!hold.admitted()) return decltype(body())();
    return body();
}

// For the unload path, once: admits no call from now on, and tells whether none is inside, so
// that what the calls use may go. With calls inside it stays, and the process ends with it.
bool closeToCalls() noexcept;

}  // namespace dravenholt
