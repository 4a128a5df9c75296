// The library context: the settings, the log, the device lock, the port table and the session
// table, and whether the library is initialised. Every exported function works on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>

#include "base/errors.h"
#include "base/log_target.h"
#include "base/pkcs11.h"
#include "frame/device_lock.h"
#include "frame/library_lock.h"
#include "frame/log.h"
#include "frame/port_table.h"
#include "frame/session_table.h"
#include "orvo.pb.h"
#include "protocol/reply_check.h"
#include "settings/settings.h"
#include "transport/device_pair.h"

namespace dravenholt {

class Context final : public LogTarget {
public:
    Context();  // reads the settings
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    // Logging.
    void log(int level, const char* format, ...) override ORVO_PRINTF_FORMAT(3, 4);
    void logMessage(int level, const std::string& message) override { log_.logMessage(level, message); }
    bool logs(int level) const { return log_.logs(level); }
    bool writesLogFile() const { return log_.writesFile(); }

    // Reads the configuration file again over the settings in force, and applies what it says.
    void loadConfiguration();
    const Settings& settings() const { return settings_; }

    // Test seam and configuration: swap the device lister and transport factory together.
    void setDevicePair(DeviceLister lister, TransportFactory factory);

    // C_Initialize and C_Finalize: each under the library mutex throughout.
    CK_RV initialize(CK_VOID_PTR pInitArgs);
    CK_RV finalize(CK_VOID_PTR pReserved);
    bool initialized() const { return initialized_; }

    // The device call: encode, transmit on `port` under the device lock, decode (reading on
    // while `check` finds the reply short). Afterwards response.rv holds a return code, which
    // is also returned.
    CK_RV callDevice(int32_t port, FunctionRequest& request, FunctionResponse& response, bool resetResponse,
                     ReplyCheck* check = nullptr);

    // The one way to use a port's transport (opening and closing included): `work(transport)`
    // under the locks that serialise exchanges, the library mutex (which the caller must hold
    // through a LibraryLock) and the device lock. Returns what `work` returns; throws
    // DeviceError when the caller does not hold the library mutex, the port is not in the
    // table or the device lock cannot be had.
    template <class Work>
    auto withTransport(int32_t port, Work&& work);

    // The tables, used under the library mutex.
    SessionTable& sessions() { return sessions_; }
    const PortTable& ports() const { return ports_; }
    const DeviceLock& deviceLock() const { return deviceLock_; }

    // In a process made by fork(): the parent's transports, sessions and locking choice are
    // forgotten without any I/O, and the library is not initialised until this process calls
    // C_Initialize. Called by the fork handler only.
    void forgetInherited() noexcept;

private:
    // Sends the first `length` bytes of `buffer` (wiping them once sent when `secret`) and
    // receives the reply into it, reading on until `whole` says the bytes so far are all of it.
    size_t transmit(int32_t port, uint8_t* buffer, size_t capacity, size_t length, bool secret,
                    const std::function<bool(size_t)>& whole);
    void setDeviceClocks(size_t count);
    void closeOwnSessions(int32_t port);

    Log log_;
    Settings settings_;
    DeviceLister deviceLister_;
    TransportFactory transportFactory_;
    DeviceLock deviceLock_;
    PortTable ports_;
    SessionTable sessions_;
    std::atomic<bool> initialized_{false};
};

template <class Work>
auto Context::withTransport(int32_t index, Work&& work) {
    if (!LibraryLock::heldHere()) throw DeviceError("transport used without the library mutex");
    Transport* transport = ports_.find(index);
    if (!transport) throw DeviceError("Port not found");
    DeviceLockGuard lock(deviceLock_, settings_.timeoutMs);
    if (!lock.held()) throw DeviceError("Failed to obtain mutex lock.");
    if constexpr (std::is_void_v<decltype(work(*transport))>) {
        work(*transport);
        lock.release();
    } else {
        auto result = work(*transport);
        lock.release();
        return result;
    }
}

// Creates the context on first use (reading the configuration once) and returns it.
Context& getContext();

// The context if it has been made, without taking the library mutex (for the fork handlers,
// which hold it already).
Context* contextIfMade();

}  // namespace dravenholt
