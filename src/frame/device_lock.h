// The device lock: native device mutex or the application's mutex, then the process lock file.
#pragma once

#include <mutex>
#include <string>

class CContext;

namespace dravenholt {

// The native device mutex: the device lock's first part when the application asked for native
// locking.
std::mutex& nativeDeviceMutex();

// Opens (creating if needed) the process lock file and makes it the process-wide one.
// Throws std::runtime_error when it cannot be opened.
bool prepareLockFile(CContext& context, const std::string& path);

// Closes the process lock file; for the library's unload path, when no call is inside.
void releaseLockFile();

// Holds the device lock for one exchange; releases it on every path.
class DeviceLockGuard {
public:
    explicit DeviceLockGuard(CContext& context);  // may throw (process lock file failed or not had in time)
    ~DeviceLockGuard();
    DeviceLockGuard(const DeviceLockGuard&) = delete;
    DeviceLockGuard& operator=(const DeviceLockGuard&) = delete;
    bool held() const { return held_; }
    void release();  // may throw (process lock file)

private:
    CContext& context_;
    bool held_;
};

}  // namespace dravenholt
