#include "frame/library_lock.h"

namespace dravenholt {
namespace {
thread_local bool holdsLibraryMutex = false;
}

std::mutex& libraryMutex() {
    static std::mutex mutex;
    return mutex;
}

LibraryLock::LibraryLock() : guard_(libraryMutex()) { holdsLibraryMutex = true; }

LibraryLock::~LibraryLock() { holdsLibraryMutex = false; }

bool LibraryLock::heldHere() { return holdsLibraryMutex; }

}  // namespace dravenholt
