// Digesting. The device keeps the active digest of each session; long input travels in pieces,
// and C_Digest is made of the update and final calls.
#include "protocol/function_ids.h"
#include "token/mechanism_params.h"
#include "token/operation.h"

using namespace dravenholt;

namespace {

// Large enough for every digest the device computes.
constexpr CK_ULONG kLargestDigest = 64;

// Whether the digest fits the caller's buffer, asked before any data goes out: a C_Digest that
// sent its data and then found the buffer too small would leave that data in the device's
// operation, and the caller's retry would digest it twice. A buffer that holds every digest
// needs no question.
CK_RV digestFits(CContext& context, CK_SESSION_HANDLE hSession, CK_ULONG_PTR pulDigestLen) {
    if (*pulDigestLen >= kLargestDigest) return CKR_OK;
    CK_ULONG needed = 0;
    if (CK_RV rv = context.C_DigestFinal(hSession, nullptr, &needed); rv != CKR_OK) return rv;
    if (needed <= *pulDigestLen) return CKR_OK;
    *pulDigestLen = needed;
    return CKR_BUFFER_TOO_SMALL;
}

}  // namespace

CK_RV CContext::C_DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism) {
    Entry entry(*this, "C_DigestInit");
    entry.check(pMechanism != nullptr).check(!pMechanism || pMechanism->pParameter || pMechanism->ulParameterLen == 0);
    return entry.session(hSession, fn::DigestInit, [&](DeviceCall& call) {
        fillMechanism(call, *pMechanism, ParameterLength::Absent);
        return call.run(*this);
    });
}

CK_RV CContext::C_DigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    Entry entry(*this, "C_DigestUpdate");
    return entry.check(pPart != nullptr).pieces(hSession, fn::DigestUpdate, pPart, ulPartLen);
}

CK_RV CContext::C_DigestKey(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hKey) {
    return Entry(*this, "C_DigestKey").session(hSession, fn::DigestKey, [&](DeviceCall& call) {
        call.handle(hKey, CKR_KEY_HANDLE_INVALID);
        return call.run(*this);
    });
}

CK_RV CContext::C_DigestFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen) {
    return Entry(*this, "C_DigestFinal").session(hSession, fn::DigestFinal, [&](DeviceCall& call) {
        if (!pulDigestLen) return call.run(*this);  // nowhere to put a length: a plain final call
        return call.callerOutput(pDigest, pulDigestLen).runOutput(*this, pulDigestLen);
    });
}

CK_RV CContext::C_Digest(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pDigest,
                         CK_ULONG_PTR pulDigestLen) {
    log(kTrace, "C_Digest");  // the calls below check the initialisation
    if (!pData && ulDataLen != 0) {
        // A failing C_Digest ends the operation: the device finishes it, the digest is dropped.
        CK_BYTE scratch[kLargestDigest];
        CK_ULONG scratchLength = sizeof scratch;
        if (pDigest)
            C_DigestFinal(hSession, pDigest, pulDigestLen);
        else
            C_DigestFinal(hSession, scratch, &scratchLength);
        return CKR_ARGUMENTS_BAD;
    }
    if (pData && pDigest) {
        if (CK_RV rv = pulDigestLen ? digestFits(*this, hSession, pulDigestLen) : CKR_OK; rv != CKR_OK) return rv;
        CK_RV rv = Entry(*this, "C_DigestUpdate").pieces(hSession, fn::DigestUpdate, pData, ulDataLen);
        if (rv != CKR_OK) return rv;
    }
    // Without data the digest of what came before; without a buffer a length query.
    return C_DigestFinal(hSession, pDigest, pulDigestLen);
}
