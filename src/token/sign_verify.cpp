// Signing and verification. The device keeps the active operation of each session; the update
// calls send their input in pieces, and the signature calls follow the output convention of
// DeviceCall::callerOutput, so a length query or a short buffer leaves the operation running.
#include "protocol/function_ids.h"
#include "token/mechanism_params.h"
#include "token/operation.h"
#include "token/operations.h"

using namespace dravenholt;

namespace {

CK_RV signVerifyInit(Context& context, Entry& entry, CK_SESSION_HANDLE hSession, uint32_t function,
                     const CK_MECHANISM* mechanism, CK_OBJECT_HANDLE hKey) {
    entry.check(mechanism != nullptr).check(!mechanism || mechanism->pParameter || mechanism->ulParameterLen == 0);
    return entry.session(hSession, function, [&](DeviceCall& call) {
        fillMechanism(call, *mechanism, ParameterLength::Sent);
        if (context.logs(kTrace))
            context.log(kTrace, "Mechanism: 0x%08lx Paramlen: %lx", mechanism->mechanism,
                        static_cast<unsigned long>(call.request.mechanism.parameterLength));
        call.handle(hKey, CKR_KEY_HANDLE_INVALID);
        CK_RV rv = call.run(context);
        if (rv != CKR_OK) context.log(kInfo, "SignVerifyInit returned 0x%lx", rv);
        return rv;
    });
}

}  // namespace

CK_RV ops::C_SignInit(Context& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    Entry entry(context, nullptr);
    return signVerifyInit(context, entry, hSession, fn::SignInit, pMechanism, hKey);
}

CK_RV ops::C_VerifyInit(Context& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    Entry entry(context, "C_VerifyInit");
    return signVerifyInit(context, entry, hSession, fn::VerifyInit, pMechanism, hKey);
}

CK_RV ops::C_Sign(Context& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                       CK_ULONG_PTR pulSignatureLen) {
    Entry entry(context, "C_Sign");
    entry.check(pulSignatureLen != nullptr).check(pData || ulDataLen == 0);
    return entry.session(hSession, fn::Sign, [&](DeviceCall& call) {
        return call.data(pData, ulDataLen).callerOutput(pSignature, pulSignatureLen).runOutput(context, pulSignatureLen);
    });
}

CK_RV ops::C_SignUpdate(Context& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    Entry entry(context, "C_SignUpdate");
    return entry.check(pPart != nullptr).pieces(hSession, fn::SignUpdate, pPart, ulPartLen);
}

CK_RV ops::C_SignFinal(Context& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    Entry entry(context, "C_SignFinal");
    return entry.check(pulSignatureLen != nullptr).session(hSession, fn::SignFinal, [&](DeviceCall& call) {
        return call.callerOutput(pSignature, pulSignatureLen).runOutput(context, pulSignatureLen);
    });
}

CK_RV ops::C_Verify(Context& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                         CK_ULONG ulSignatureLen) {
    Entry entry(context, "C_Verify");
    entry.check(pData || ulDataLen == 0).check(pSignature != nullptr);
    return entry.session(hSession, fn::Verify, [&](DeviceCall& call) {
        call.data(pData, ulDataLen).data2(pSignature, ulSignatureLen);
        return call.run(context);
    });
}

CK_RV ops::C_VerifyUpdate(Context& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    Entry entry(context, "C_VerifyUpdate");
    return entry.check(pPart || ulPartLen == 0).pieces(hSession, fn::VerifyUpdate, pPart, ulPartLen);
}

CK_RV ops::C_VerifyFinal(Context& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
    Entry entry(context, "C_VerifyFinal");
    return entry.check(pSignature || ulSignatureLen == 0).session(hSession, fn::VerifyFinal, [&](DeviceCall& call) {
        call.data(pSignature, ulSignatureLen);  // the signature goes in field 4 here
        return call.run(context);
    });
}
