// The device lock: the native device mutex or the application's mutex (as C_Initialize chose),
// then the process lock file (as the settings chose), taken around each exchange with a device.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "base/log_target.h"
#include "base/pkcs11.h"

namespace dravenholt {

// The native device mutex: the device lock's first part when the application asked for native
// locking.
std::mutex& nativeDeviceMutex();

// Closes the process lock file; for the library's unload path, when no call is inside.
void releaseLockFile();

class DeviceLock {
public:
    // Opens (creating if needed) the process lock file and makes it the process-wide one, used
    // from now on. Throws std::runtime_error when it cannot be opened.
    void useLockFile(const std::string& path, LogTarget& log);
    bool usesLockFile() const { return lockFile_; }

    // Records the application's locking choice; CKR_OK or the code that ends C_Initialize.
    CK_RV choose(const CK_C_INITIALIZE_ARGS* args, LogTarget& log);
    // No locking chosen: C_Initialize without arguments, or the choice undone.
    void reset() {
        osLocking_ = false;
        appLocking_ = false;
    }
    // Drops the application mutex (made for an initialisation that did not complete, or at
    // C_Finalize).
    void abandonAppMutex();
    // In a process made by fork(): the application's mutex is the parent's object.
    void forget() noexcept {
        appLocking_ = false;
        appMutex_ = nullptr;
    }
    bool osLocking() const { return osLocking_; }

    // False when the application's mutex refuses; throws when the lock file is not had within
    // `timeoutMs`.
    bool lock(uint32_t timeoutMs);
    void unlock();

private:
    bool lockFile_ = false;
    bool osLocking_ = false;
    bool appLocking_ = false;
    CK_C_INITIALIZE_ARGS initArgs_{};
    void* appMutex_ = nullptr;
};

// Holds the device lock for one exchange; releases it on every path.
class DeviceLockGuard {
public:
    DeviceLockGuard(DeviceLock& lock, uint32_t timeoutMs);  // may throw (process lock file failed or not had in time)
    ~DeviceLockGuard();
    DeviceLockGuard(const DeviceLockGuard&) = delete;
    DeviceLockGuard& operator=(const DeviceLockGuard&) = delete;
    bool held() const { return held_; }
    void release();  // may throw (process lock file)

private:
    DeviceLock& lock_;
    bool held_;
};

}  // namespace dravenholt
