#include "frame/device_lock.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "frame/context.h"
#include "frame/process_lock_file.h"

namespace dravenholt {

std::mutex& nativeDeviceMutex() {
    static std::mutex mutex;
    return mutex;
}

namespace {

// A plain pointer, not a static object: nothing frees it at exit while calls may still use it
// (the unload path does, when none is inside).
ProcessLockFile*& processLockFile() {
    static ProcessLockFile* lock = nullptr;
    return lock;
}

}  // namespace

void releaseLockFile() {
    delete processLockFile();
    processLockFile() = nullptr;
}

bool prepareLockFile(CContext& c, const std::string& path) {
    c.log(kDebug, "Process lockfile: %s", path.c_str());
    bool created = false;
    auto lock = std::make_unique<ProcessLockFile>(path, created);
    if (created) c.log(kDebug, "Creating lockfile: %s", path.c_str());
    releaseLockFile();
    processLockFile() = lock.release();
    return true;
}

DeviceLockGuard::DeviceLockGuard(CContext& context) : context_(context), held_(context.lockDevice()) {}

DeviceLockGuard::~DeviceLockGuard() {
    if (!held_) return;
    try {
        context_.unlockDevice();
    } catch (...) {
        // the exchange has already failed; its own error is the one reported
    }
}

void DeviceLockGuard::release() {
    if (!held_) return;
    held_ = false;
    context_.unlockDevice();
}

}  // namespace dravenholt

bool CContext::lockDevice() {
    if (osLocking) dravenholt::nativeDeviceMutex().lock();
    if (appLocking && initArgs.LockMutex(appMutex) != CKR_OK) {
        if (osLocking) dravenholt::nativeDeviceMutex().unlock();
        return false;
    }
    if (useLockFile) {
        try {
            dravenholt::processLockFile()->lock(timeoutMs);
        } catch (...) {
            if (appLocking) initArgs.UnlockMutex(appMutex);
            if (osLocking) dravenholt::nativeDeviceMutex().unlock();
            throw;
        }
    }
    return true;
}

void CContext::unlockDevice() {
    struct Rest {  // the mutexes are released even when the file unlock throws
        CContext& c;
        ~Rest() {
            if (c.osLocking) dravenholt::nativeDeviceMutex().unlock();
            if (c.appLocking) c.initArgs.UnlockMutex(c.appMutex);
        }
    } rest{*this};
    if (useLockFile) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        dravenholt::processLockFile()->unlock();
    }
}
