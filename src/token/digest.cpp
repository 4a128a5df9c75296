// Digesting. The device keeps the active digest of each session; long input travels in pieces,
// and C_Digest is made of the update and final calls.
#include "protocol/function_ids.h"
#include "token/mechanism_params.h"
#include "token/operation.h"
#include "token/operations.h"

using namespace dravenholt;

namespace {

// Large enough for every digest the device computes.
constexpr CK_ULONG kLargestDigest = 64;

// Whether the digest fits the caller's buffer, asked before any data goes out: a C_Digest that
// sent its data and then found the buffer too small would leave that data in the device's
// operation, and the caller's retry would digest it twice. A buffer that holds every digest
// needs no question.
CK_RV digestFits(Context& context, CK_SESSION_HANDLE hSession, CK_ULONG_PTR pulDigestLen) {
    if (*pulDigestLen >= kLargestDigest) return CKR_OK;
    CK_ULONG needed = 0;
    if (CK_RV rv = ops::C_DigestFinal(context, hSession, nullptr, &needed); rv != CKR_OK) return rv;
    if (needed <= *pulDigestLen) return CKR_OK;
    *pulDigestLen = needed;
    return CKR_BUFFER_TOO_SMALL;
}

}  // namespace

CK_RV ops::C_DigestInit(Context& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism) {
    Entry entry(context, "C_DigestInit");
    entry.check(pMechanism != nullptr).check(!pMechanism || pMechanism->pParameter || pMechanism->ulParameterLen == 0);
    return entry.session(hSession, fn::DigestInit, [&](DeviceCall& call) {
        fillMechanism(call, *pMechanism, ParameterLength::Absent);
        return call.run(context);
    });
}

CK_RV ops::C_DigestUpdate(Context& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    Entry entry(context, "C_DigestUpdate");
    return entry.check(pPart != nullptr).pieces(hSession, fn::DigestUpdate, pPart, ulPartLen);
}

CK_RV ops::C_DigestKey(Context& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hKey) {
    return Entry(context, "C_DigestKey").session(hSession, fn::DigestKey, [&](DeviceCall& call) {
        call.handle(hKey, CKR_KEY_HANDLE_INVALID);
        return call.run(context);
    });
}

CK_RV ops::C_DigestFinal(Context& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen) {
    return Entry(context, "C_DigestFinal").session(hSession, fn::DigestFinal, [&](DeviceCall& call) {
        if (!pulDigestLen) return call.run(context);  // nowhere to put a length: a plain final call
        return call.callerOutput(pDigest, pulDigestLen).runOutput(context, pulDigestLen);
    });
}

CK_RV ops::C_Digest(Context& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pDigest,
                         CK_ULONG_PTR pulDigestLen) {
    context.log(kTrace, "C_Digest");  // the calls below check the initialisation
    if (!pData && ulDataLen != 0) {
        // A failing C_Digest ends the operation: the device finishes it, the digest is dropped.
        CK_BYTE scratch[kLargestDigest];
        CK_ULONG scratchLength = sizeof scratch;
        if (pDigest)
            C_DigestFinal(context, hSession, pDigest, pulDigestLen);
        else
            C_DigestFinal(context, hSession, scratch, &scratchLength);
        return CKR_ARGUMENTS_BAD;
    }
    if (pData && pDigest) {
        if (CK_RV rv = pulDigestLen ? digestFits(context, hSession, pulDigestLen) : CKR_OK; rv != CKR_OK) return rv;
        CK_RV rv = Entry(context, "C_DigestUpdate").pieces(hSession, fn::DigestUpdate, pData, ulDataLen);
        if (rv != CKR_OK) return rv;
    }
    // Without data the digest of what came before; without a buffer a length query.
    return C_DigestFinal(context, hSession, pDigest, pulDigestLen);
}
