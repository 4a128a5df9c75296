// The single library context: configuration, logging, initialisation state, locking choice,
// the port registry and the session table. Every exported function forwards to it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "frame/device_lock.h"
#include "frame/exceptions.h"
#include "frame/log_target.h"
#include "frame/pkcs11.h"
#include "orvo.pb.h"
#include "platform/files.h"
#include "protocol/reply_check.h"
#include "transport/transport.h"

class CContext;

namespace dravenholt {
using DeviceLister = std::function<std::vector<uint64_t>(CContext&)>;
using TransportFactory = std::function<std::unique_ptr<CTransport>(uint64_t, CContext&)>;
}  // namespace dravenholt

// A session as the application sees it: a handle issued by the library, unique within the
// process, mapped to its port and to the device's own handle.
struct SessionEntry {
    int32_t port;
    uint32_t deviceHandle;
    bool ended = false;  // closed on the device by C_CloseAllSessions
};

class CContext final : public dravenholt::ILogTarget {
public:
    CContext();
    CContext(const CContext&) = delete;
    CContext& operator=(const CContext&) = delete;

    // Logging.
    void log(int level, const char* format, ...) override ORVO_PRINTF_FORMAT(3, 4);
    void logMessage(int level, const std::string& message) override;
    bool logs(int level) const { return level >= logThreshold && (logToConsole || logFile.isOpen()); }

    // Test seam and configuration: swap the device lister and transport factory together.
    void setDevicePair(dravenholt::DeviceLister lister, dravenholt::TransportFactory factory);

    // The device call: encode, transmit on `port` under the device lock, decode (reading on
    // while `check` finds the reply short). Afterwards response.rv holds a return code, which
    // is also returned.
    CK_RV callDevice(int32_t port, FunctionRequest& request, FunctionResponse& response,
                     bool resetResponse, dravenholt::ReplyCheck* check = nullptr);
    // Sends the first `length` bytes of `buffer` (wiping them once sent when `secret`) and
    // receives the reply into it, reading on until `whole` says the bytes so far are all of it.
    size_t transmit(int32_t port, uint8_t* buffer, size_t capacity, size_t length, bool secret,
                    const std::function<bool(size_t)>& whole);

    // The one way to use a port's transport (opening and closing included): `work(transport)`
    // under the locks that serialise exchanges, the library mutex (which the caller must hold
    // through a LibraryLock) and the device lock. Returns what `work` returns; throws
    // IOException when the caller does not hold the library mutex, the port is not in the
    // registry or the device lock cannot be had.
    template <class Work>
    auto withTransport(int32_t port, Work&& work);

    // Device lock (native or application mutex, then the process lock file).
    bool lockDevice();
    void unlockDevice();

    // In a process made by fork(): the parent's transports, sessions and locking choice are
    // forgotten without any I/O, and the library is not initialised until this process calls
    // C_Initialize. Called by the fork handler only.
    void forgetInherited() noexcept;

    // Session lookup: the port and device handle behind an application's session handle.
    CK_RV lookupSession(CK_SESSION_HANDLE handle, SessionEntry& entry) const;
    CK_SESSION_HANDLE addSession(int32_t port, uint32_t deviceHandle);
    bool hasPort(CK_SLOT_ID slot) const;
    dravenholt::CTransport* port(int32_t index) const;

    // Frame entry points.
    CK_RV C_Initialize(CK_VOID_PTR pInitArgs);
    CK_RV C_Finalize(CK_VOID_PTR pReserved);
    CK_RV C_GetInfo(CK_INFO_PTR pInfo);
    CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot, CK_VOID_PTR pReserved);

    // Slots, tokens and mechanisms.
    CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount);
    CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo);
    CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo);
    CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList,
                             CK_ULONG_PTR pulCount);
    CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo);
    CK_RV C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen, CK_UTF8CHAR_PTR pLabel);

    // Sessions and login.
    CK_RV C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen);
    CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
                   CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen);
    CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication, CK_NOTIFY Notify,
                        CK_SESSION_HANDLE_PTR phSession);
    CK_RV C_CloseSession(CK_SESSION_HANDLE hSession);
    CK_RV C_CloseAllSessions(CK_SLOT_ID slotID);
    CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo);
    CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin,
                  CK_ULONG ulPinLen);
    CK_RV C_Logout(CK_SESSION_HANDLE hSession);

    // Objects and search.
    CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                         CK_OBJECT_HANDLE_PTR phObject);
    CK_RV C_CopyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                       CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phNewObject);
    CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject);
    CK_RV C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize);
    CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                              CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount);
    CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                              CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount);
    CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount);
    CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject,
                        CK_ULONG ulMaxObjectCount, CK_ULONG_PTR pulObjectCount);
    CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession);

    // Encryption and decryption.
    CK_RV C_EncryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey);
    CK_RV C_Encrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                    CK_BYTE_PTR pEncryptedData, CK_ULONG_PTR pulEncryptedDataLen);
    CK_RV C_EncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen,
                          CK_BYTE_PTR pEncryptedPart, CK_ULONG_PTR pulEncryptedPartLen);
    CK_RV C_EncryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastEncryptedPart,
                         CK_ULONG_PTR pulLastEncryptedPartLen);
    CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey);
    CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen,
                    CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen);
    CK_RV C_DecryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart,
                          CK_ULONG ulEncryptedPartLen, CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen);
    CK_RV C_DecryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastPart, CK_ULONG_PTR pulLastPartLen);

    // Digesting.
    CK_RV C_DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism);
    CK_RV C_Digest(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                   CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen);
    CK_RV C_DigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen);
    CK_RV C_DigestKey(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hKey);
    CK_RV C_DigestFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen);

    // Signing and verification.
    CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey);
    CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                 CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen);
    CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen);
    CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen);
    CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey);
    CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                   CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen);
    CK_RV C_VerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen);
    CK_RV C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen);

    // Keys and random numbers.
    CK_RV C_GenerateKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                        CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phKey);
    CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                            CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                            CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                            CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey);
    CK_RV C_WrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hWrappingKey,
                    CK_OBJECT_HANDLE hKey, CK_BYTE_PTR pWrappedKey, CK_ULONG_PTR pulWrappedKeyLen);
    CK_RV C_UnwrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                      CK_OBJECT_HANDLE hUnwrappingKey, CK_BYTE_PTR pWrappedKey, CK_ULONG ulWrappedKeyLen,
                      CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey);
    CK_RV C_DeriveKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hBaseKey,
                      CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey);
    CK_RV C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen);
    CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR RandomData, CK_ULONG ulRandomLen);

    // ---- fields ----
    std::string ipAddress;
    std::string caCertBundle;
    bool useLockFile = false;
    uint32_t ipPort = 0;
    uint32_t timeoutMs = 12000;
    uint32_t keyTimeoutMs = 65000;
    dravenholt::TransportFactory transportFactory;
    dravenholt::DeviceLister deviceLister;
    int32_t logThreshold = 50;
    dravenholt::platform::OpenFile logFile;
    bool logToConsole = false;
    std::string logFilePath;
    std::atomic<bool> initialized{false};
    bool osLocking = false;
    bool appLocking = false;
    CK_C_INITIALIZE_ARGS initArgs{};
    void* appMutex = nullptr;
    int64_t startTime = 0;
    std::map<int32_t, std::unique_ptr<dravenholt::CTransport>> ports;
    std::map<CK_SESSION_HANDLE, SessionEntry> sessions;
    CK_SESSION_HANDLE nextSessionHandle = 1;
    uint32_t vendorId = 0x0483;
    uint32_t productId = 0xA2AC;
    uint32_t usagePage = 0;
};

// The library mutex: one process-wide non-recursive mutex. Token operations hold it around
// their session lookup and device call; code that holds it never calls getContext().
std::mutex& libraryMutex();

// The library mutex held for a scope. The library takes it only this way (the fork handlers and
// the making of the context aside), so that a transport is never used by a thread without it.
class LibraryLock {
public:
    LibraryLock();
    ~LibraryLock();
    LibraryLock(const LibraryLock&) = delete;
    LibraryLock& operator=(const LibraryLock&) = delete;
    static bool heldHere();  // by the calling thread

private:
    std::lock_guard<std::mutex> guard_;
};

template <class Work>
auto CContext::withTransport(int32_t index, Work&& work) {
    if (!LibraryLock::heldHere()) throw IOException("transport used without the library mutex", -1);
    dravenholt::CTransport* transport = port(index);
    if (!transport) throw IOException("Port not found", -1);
    dravenholt::DeviceLockGuard lock(*this);
    if (!lock.held()) throw IOException("Failed to obtain mutex lock.", -1);
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
CContext& getContext();

// The context if it has been made, without taking the library mutex (for the fork handlers,
// which hold it already).
CContext* contextIfMade();

// Held while a log line is written, so that lines from concurrent threads stay whole and the
// log file's stream is used by one thread at a time. Nothing is locked while it is held.
std::mutex& logMutex();
