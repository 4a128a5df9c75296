// C_Initialize and C_Finalize: the port table made and torn down, the device clocks set, the
// sessions this process opened closed.
#include <ctime>

#include "frame/context.h"
#include "protocol/function_ids.h"

namespace dravenholt {

void Context::setDeviceClocks(size_t count) {
    uint32_t now = static_cast<uint32_t>(std::time(nullptr));
    for (size_t i = 0; i < count; ++i) {
        try {
            log(kTrace, "bSetDateTime");
            FunctionRequest request = FunctionRequest_init_zero;
            FunctionResponse response = FunctionResponse_init_zero;
            request.function = fn::SetDateTime;
            request.has_handle = true;
            request.handle = now;
            callDevice(static_cast<int32_t>(i), request, response, true);
        } catch (...) {
            log(kWarn, "Failed to set time");
        }
    }
}

// Closes the sessions this process opened on `port`, one call each, ignoring every failure.
// A call that closed all sessions of the slot would end other processes' sessions on the same
// device too (a process forked from this one among them).
void Context::closeOwnSessions(int32_t port) {
    for (uint32_t deviceHandle : sessions_.openOn(port)) {
        try {
            log(kTrace, "C_CloseSession");
            FunctionRequest request = FunctionRequest_init_zero;
            FunctionResponse response = FunctionResponse_init_zero;
            request.function = fn::CloseSession;
            request.has_session = true;
            request.session = deviceHandle;
            callDevice(port, request, response, true);
        } catch (...) {
        }
    }
}

// C_Initialize and C_Finalize hold the library mutex throughout, so that no call meets the
// port table or the session table half made or half torn down: a call that passed its own
// initialisation check before C_Finalize checks again under the mutex (see Entry).
CK_RV Context::initialize(CK_VOID_PTR pInitArgs) {
    LibraryLock lock;
    if (initialized_) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    deviceLock_.reset();
    if (!pInitArgs) {
        log(kTrace, "C_Initialize");
    } else if (CK_RV rv = deviceLock_.choose(static_cast<CK_C_INITIALIZE_ARGS*>(pInitArgs), log_); rv != CKR_OK) {
        return rv;
    }

    std::vector<uint64_t> ids;
    try {
        DeviceLockGuard device(deviceLock_, settings_.timeoutMs);
        if (!device.held()) {
            deviceLock_.abandonAppMutex();
            return CKR_CANT_LOCK;
        }
        try {
            ids = deviceLister_(settings_);
            ports_.build(ids, transportFactory_, settings_, *this);
        } catch (...) {
            ports_.clear();
            throw;
        }
        device.release();
    } catch (const std::exception& e) {
        logMessage(kError, e.what());
        deviceLock_.abandonAppMutex();
        return CKR_FUNCTION_FAILED;
    } catch (...) {
        deviceLock_.abandonAppMutex();
        return CKR_FUNCTION_FAILED;
    }
    initialized_ = true;
    setDeviceClocks(ids.size());
    return CKR_OK;
}

CK_RV Context::finalize(CK_VOID_PTR pReserved) {
    log(kTrace, "C_Finalize");
    if (pReserved) return CKR_ARGUMENTS_BAD;
    LibraryLock lock;
    if (!initialized_) return CKR_CRYPTOKI_NOT_INITIALIZED;
    for (int32_t index : ports_.indices()) {
        closeOwnSessions(index);
        try {
            withTransport(index, [](Transport& t) { t.close(); });
        } catch (...) {
        }
    }
    initialized_ = false;
    ports_.clear();
    sessions_.clear();
    deviceLock_.abandonAppMutex();
    return CKR_OK;
}

}  // namespace dravenholt
