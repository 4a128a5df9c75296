#include "frame/fork_guard.h"

#ifdef _WIN32

namespace dravenholt {

// Windows has no fork(): a new process starts with a library of its own.
void installForkHandlers() {}

}  // namespace dravenholt

#else

#include <pthread.h>

#include <iterator>
#include <mutex>

#include "frame/context.h"
#include "transport/hid_access.h"

namespace dravenholt {
namespace {

// In the order in which the library takes them: the library mutex, the device mutex, hidapi's
// lock, the log lock. Waiting for them makes fork() wait until an exchange under way in another
// thread has ended (bounded by the transport's timeout).
std::mutex* const kLocks[] = {&libraryMutex(), &nativeDeviceMutex(), &hidApiMutex(), &logMutex()};

void beforeFork() {
    for (std::mutex* lock : kLocks) lock->lock();
}

void releaseLocks() {
    for (auto it = std::rbegin(kLocks); it != std::rend(kLocks); ++it) (*it)->unlock();
}

void inChild() {
    if (Context* context = contextIfMade()) context->forgetInherited();
    releaseLocks();
}

}  // namespace

void installForkHandlers() {
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(beforeFork, releaseLocks, inChild); });
}

}  // namespace dravenholt

#endif
