// Sessions and login.
#include "protocol/function_ids.h"
#include "token/operation.h"
#include "token/operations.h"

using namespace dravenholt;

CK_RV ops::C_OpenSession(Context& context, CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                              CK_SESSION_HANDLE_PTR phSession) {
    Entry entry(context, "C_OpenSession");
    entry.check(flags & CKF_SERIAL_SESSION, CKR_SESSION_PARALLEL_NOT_SUPPORTED).check(phSession != nullptr);
    return entry.slot(slotID, [&](int32_t index) -> CK_RV {
        DeviceCall call(fn::OpenSession, index);
        CK_RV rv = call.value(flags).needs(kNeedsHandle).run(context);
        if (rv == CKR_OK) *phSession = context.sessions().add(call.port, call.response.handle);
        return rv;
    });
}

CK_RV ops::C_CloseSession(Context& context, CK_SESSION_HANDLE hSession) {
    Entry entry(context, "C_CloseSession");
    return entry.session(hSession, fn::CloseSession, [&](DeviceCall& call) {
        CK_RV rv = call.run(context);
        context.sessions().erase(hSession);
        return rv;
    });
}

CK_RV ops::C_CloseAllSessions(Context& context, CK_SLOT_ID slotID) {
    Entry entry(context, "C_CloseAllSessions");
    return entry.slot(slotID, [&](int32_t index) -> CK_RV {
        DeviceCall call(fn::CloseAllSessions, index);
        CK_RV rv = call.run(context);
        // The entries stay (calls with them still reach the device), but C_Finalize must not
        // close handles the device has ended and may have given to someone else since.
        if (rv == CKR_OK) context.sessions().endAllOn(call.port);
        return rv;
    });
}

CK_RV ops::C_GetSessionInfo(Context& context, CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
    Entry entry(context, "C_GetSessionInfo");
    if (entry.check(hSession != 0, CKR_SESSION_HANDLE_INVALID).check(pInfo != nullptr).rv() != CKR_OK)
        return entry.rv();
    pInfo->flags = CKF_SERIAL_SESSION;
    pInfo->state = CKS_RO_PUBLIC_SESSION;
    return entry.session(hSession, fn::GetSessionInfo, [&](DeviceCall& call) {
        pInfo->slotID = static_cast<CK_SLOT_ID>(call.port);
        CK_RV rv = call.needs(kNeedsSessionInfo).run(context);
        if (rv == CKR_OK) {
            pInfo->state = call.response.sessionInfo.state;
            pInfo->flags = call.response.sessionInfo.flags;
            pInfo->ulDeviceError = call.response.sessionInfo.deviceError;
        }
        return rv;
    });
}

CK_RV ops::C_Login(Context& context, CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    Entry entry(context, "C_Login");
    return entry.check(pPin != nullptr).session(hSession, fn::Login, [&](DeviceCall& call) {
        call.data(pPin, ulPinLen).value(userType, CKR_USER_TYPE_INVALID);
        return call.run(context);
    });
}

CK_RV ops::C_Logout(Context& context, CK_SESSION_HANDLE hSession) {
    return Entry(context, "C_Logout").simple(hSession, fn::Logout);
}

CK_RV ops::C_InitPIN(Context& context, CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    Entry entry(context, "C_InitPIN");
    return entry.check(pPin != nullptr || ulPinLen == 0).session(hSession, fn::InitPIN, [&](DeviceCall& call) {
        call.data(pPin, ulPinLen);
        return call.run(context);
    });
}

CK_RV ops::C_SetPIN(Context& context, CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
                         CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
    Entry entry(context, "C_SetPIN");
    return entry.check(pOldPin && pNewPin).session(hSession, fn::SetPIN, [&](DeviceCall& call) {
        call.data(pOldPin, ulOldLen).data2(pNewPin, ulNewLen);
        return call.run(context);
    });
}
