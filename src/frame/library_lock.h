// The library mutex: one process-wide non-recursive mutex, held around every session lookup,
// device call and change of the port or session table, and by C_Initialize and C_Finalize
// throughout. Code that holds it never calls getContext().
#pragma once

#include <mutex>

namespace dravenholt {

std::mutex& libraryMutex();

// The library mutex held for a scope. The library takes it only this way (the fork handlers and
// the making of the context aside), so that a transport is never used by a thread without it.
class LibraryLock {
public:
    LibraryLock();
    ~LibraryLock();
    LibraryLock(const LibraryLock&) = delete;
    LibraryLock& operator=(const LibraryLock&) = delete;
    static bool heldHere();  // by the calling thread

private:
    std::lock_guard<std::mutex> guard_;
};

}  // namespace dravenholt
