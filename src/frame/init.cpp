// C_Initialize, C_Finalize, C_GetInfo and C_WaitForSlotEvent.
#include <cstring>
#include <ctime>

#include "frame/context.h"
#include "frame/device_lock.h"
#include "protocol/function_ids.h"

using namespace dravenholt;

namespace {

// Records the application's locking choice; CKR_OK or the code that ends C_Initialize.
CK_RV applyInitArgs(CContext& c, const CK_C_INITIALIZE_ARGS* args) {
    c.log(kDebug, "C_Initialize with non-null args");
    if (args->pReserved) return CKR_ARGUMENTS_BAD;
    if (args->flags & CKF_OS_LOCKING_OK) {
        c.log(kDebug, "C_Initialize with locking requested");
        c.osLocking = true;
    } else if (args->CreateMutex) {
        c.log(kDebug, "C_Initialize with locking functions requested");
        if (!args->UnlockMutex || !args->LockMutex || !args->DestroyMutex) return CKR_ARGUMENTS_BAD;
        if (args->CreateMutex(&c.appMutex) != CKR_OK) return CKR_CANT_LOCK;
        c.initArgs = *args;
        c.appLocking = true;
    }
    return CKR_OK;
}

// Drops an application mutex made for an initialisation that did not complete.
void abandonAppMutex(CContext& c) {
    if (c.appLocking) c.initArgs.DestroyMutex(c.appMutex);
    c.appLocking = false;
    c.appMutex = nullptr;
}

void buildRegistry(CContext& c, const std::vector<uint64_t>& ids) {
    c.ports.clear();
    for (size_t i = 0; i < ids.size(); ++i) {
        std::unique_ptr<CTransport> transport = c.transportFactory(ids[i], c);
        if (!transport) continue;
        transport->setTimeout(c.timeoutMs);
        c.ports[static_cast<int32_t>(i)] = std::move(transport);
    }
}

void setDeviceClocks(CContext& c, size_t count) {
    uint32_t now = static_cast<uint32_t>(std::time(nullptr));
    for (size_t i = 0; i < count; ++i) {
        try {
            c.log(kTrace, "bSetDateTime");
            FunctionRequest request = FunctionRequest_init_zero;
            FunctionResponse response = FunctionResponse_init_zero;
            request.function = fn::SetDateTime;
            request.has_handle = true;
            request.handle = now;
            c.callDevice(static_cast<int32_t>(i), request, response, true);
        } catch (...) {
            c.log(kWarn, "Failed to set time");
        }
    }
}

// Closes the sessions this process opened on `port`, one call each, ignoring every failure.
// A call that closed all sessions of the slot would end other processes' sessions on the same
// device too (a process forked from this one among them).
void closeOwnSessions(CContext& c, int32_t port) {
    for (const auto& [handle, entry] : c.sessions) {
        if (entry.port != port || entry.ended) continue;
        try {
            c.log(kTrace, "C_CloseSession");
            FunctionRequest request = FunctionRequest_init_zero;
            FunctionResponse response = FunctionResponse_init_zero;
            request.function = fn::CloseSession;
            request.has_session = true;
            request.session = entry.deviceHandle;
            c.callDevice(port, request, response, true);
        } catch (...) {
        }
    }
}

}  // namespace

// C_Initialize and C_Finalize hold the library mutex throughout, so that no call meets the
// registry or the session table half made or half torn down: a call that passed its own
// initialisation check before C_Finalize checks again under the mutex (see Entry).
CK_RV CContext::C_Initialize(CK_VOID_PTR pInitArgs) {
    LibraryLock lock;
    if (initialized) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    osLocking = false;
    appLocking = false;
    if (!pInitArgs) {
        log(kTrace, "C_Initialize");
    } else if (CK_RV rv = applyInitArgs(*this, static_cast<CK_C_INITIALIZE_ARGS*>(pInitArgs)); rv != CKR_OK) {
        return rv;
    }

    std::vector<uint64_t> ids;
    try {
        DeviceLockGuard device(*this);
        if (!device.held()) {
            abandonAppMutex(*this);
            return CKR_CANT_LOCK;
        }
        try {
            ids = deviceLister(*this);
            buildRegistry(*this, ids);
        } catch (...) {
            ports.clear();
            throw;
        }
        device.release();
    } catch (const std::exception& e) {
        logMessage(kError, e.what());
        abandonAppMutex(*this);
        return CKR_FUNCTION_FAILED;
    } catch (...) {
        abandonAppMutex(*this);
        return CKR_FUNCTION_FAILED;
    }
    initialized = true;
    setDeviceClocks(*this, ids.size());
    return CKR_OK;
}

CK_RV CContext::C_Finalize(CK_VOID_PTR pReserved) {
    log(kTrace, "C_Finalize");
    if (pReserved) return CKR_ARGUMENTS_BAD;
    LibraryLock lock;
    if (!initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    for (auto& [index, transport] : ports) {
        closeOwnSessions(*this, index);
        try {
            withTransport(index, [](CTransport& t) { t.close(); });
        } catch (...) {
        }
    }
    initialized = false;
    ports.clear();
    sessions.clear();
    if (appLocking) initArgs.DestroyMutex(appMutex);
    appLocking = false;
    appMutex = nullptr;
    return CKR_OK;
}

CK_RV CContext::C_GetInfo(CK_INFO_PTR pInfo) {
    if (!initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!pInfo) return CKR_ARGUMENTS_BAD;
    pInfo->cryptokiVersion = {2, 40};
    std::memset(pInfo->manufacturerID, ' ', sizeof pInfo->manufacturerID);
    std::memcpy(pInfo->manufacturerID, "Dravenholtique", 14);
    pInfo->flags = 0;
    std::memset(pInfo->libraryDescription, ' ', sizeof pInfo->libraryDescription);
    std::memcpy(pInfo->libraryDescription, "Dravenholtique PKCS11 Library", 29);
    pInfo->libraryVersion = {2, 14};
    return CKR_OK;
}

CK_RV CContext::C_WaitForSlotEvent(CK_FLAGS, CK_SLOT_ID_PTR, CK_VOID_PTR) {
    return initialized ? CKR_FUNCTION_NOT_SUPPORTED : CKR_CRYPTOKI_NOT_INITIALIZED;
}
