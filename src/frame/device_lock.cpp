#include "frame/device_lock.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

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

void DeviceLock::useLockFile(const std::string& path, LogTarget& log) {
    log.log(kDebug, "Process lockfile: %s", path.c_str());
    bool created = false;
    auto file = std::make_unique<ProcessLockFile>(path, created);
    if (created) log.log(kDebug, "Creating lockfile: %s", path.c_str());
    releaseLockFile();
    processLockFile() = file.release();
    lockFile_ = true;
}

CK_RV DeviceLock::choose(const CK_C_INITIALIZE_ARGS* args, LogTarget& log) {
    log.log(kDebug, "C_Initialize with non-null args");
    if (args->pReserved) return CKR_ARGUMENTS_BAD;
    if (args->flags & CKF_OS_LOCKING_OK) {
        log.log(kDebug, "C_Initialize with locking requested");
        osLocking_ = true;
    } else if (args->CreateMutex) {
        log.log(kDebug, "C_Initialize with locking functions requested");
        if (!args->UnlockMutex || !args->LockMutex || !args->DestroyMutex) return CKR_ARGUMENTS_BAD;
        if (args->CreateMutex(&appMutex_) != CKR_OK) return CKR_CANT_LOCK;
        initArgs_ = *args;
        appLocking_ = true;
    }
    return CKR_OK;
}

void DeviceLock::abandonAppMutex() {
    if (appLocking_) initArgs_.DestroyMutex(appMutex_);
    appLocking_ = false;
    appMutex_ = nullptr;
}

bool DeviceLock::lock(uint32_t timeoutMs) {
    if (osLocking_) nativeDeviceMutex().lock();
    if (appLocking_ && initArgs_.LockMutex(appMutex_) != CKR_OK) {
        if (osLocking_) nativeDeviceMutex().unlock();
        return false;
    }
    if (lockFile_) {
        try {
            processLockFile()->lock(timeoutMs);
        } catch (...) {
            if (appLocking_) initArgs_.UnlockMutex(appMutex_);
            if (osLocking_) nativeDeviceMutex().unlock();
            throw;
        }
    }
    return true;
}

void DeviceLock::unlock() {
    struct Rest {  // the mutexes are released even when the file unlock throws
        DeviceLock& l;
        ~Rest() {
            if (l.osLocking_) nativeDeviceMutex().unlock();
            if (l.appLocking_) l.initArgs_.UnlockMutex(l.appMutex_);
        }
    } rest{*this};
    if (lockFile_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        processLockFile()->unlock();
    }
}

DeviceLockGuard::DeviceLockGuard(DeviceLock& lock, uint32_t timeoutMs) : lock_(lock), held_(lock.lock(timeoutMs)) {}

DeviceLockGuard::~DeviceLockGuard() {
    if (!held_) return;
    try {
        lock_.unlock();
    } catch (...) {
        // the exchange has already failed; its own error is the one reported
    }
}

void DeviceLockGuard::release() {
    if (!held_) return;
    held_ = false;
    lock_.unlock();
}

}  // namespace dravenholt
