#include "frame/fork_guard.h"

#include <pthread.h>

#include <mutex>

#include "frame/context.h"
#include "frame/device_lock.h"
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
    if (CContext* context = contextIfMade()) context->forgetInherited();
    releaseLocks();
}

}  // namespace

void installForkHandlers() {
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(beforeFork, releaseLocks, inChild); });
}

}  // namespace dravenholt

void CContext::forgetInherited() noexcept {
    initialized = false;
    for (auto& [index, transport] : ports) transport->abandon();
    ports.clear();
    sessions.clear();
    // The application's mutex is the parent's object; the child chooses its own locking anew.
    appLocking = false;
    appMutex = nullptr;
}
