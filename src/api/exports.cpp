// The exported PKCS#11 functions: each fetches the context and forwards to the operation of
// the same name. No exception leaves them.
#include "base/guarded.h"
#include "frame/context.h"
#include "token/operations.h"

using dravenholt::getContext;
using dravenholt::guarded;

#define ORVO_ARGUMENTS(...) __VA_ARGS__
#define ORVO_FORWARD(name, params, args) \
    ORVO_EXPORT CK_RV name params { return guarded([&] { return dravenholt::ops::name(getContext(), ORVO_ARGUMENTS args); }); }

ORVO_EXPORT CK_RV C_Initialize(CK_VOID_PTR a) {
    return guarded([&] { return getContext().initialize(a); });
}
ORVO_EXPORT CK_RV C_Finalize(CK_VOID_PTR a) {
    return guarded([&] { return getContext().finalize(a); });
}
ORVO_FORWARD(C_GetInfo, (CK_INFO_PTR a), (a))
ORVO_FORWARD(C_GetSlotList, (CK_BBOOL a, CK_SLOT_ID_PTR b, CK_ULONG_PTR c), (a, b, c))
ORVO_FORWARD(C_GetSlotInfo, (CK_SLOT_ID a, CK_SLOT_INFO_PTR b), (a, b))
ORVO_FORWARD(C_GetTokenInfo, (CK_SLOT_ID a, CK_TOKEN_INFO_PTR b), (a, b))
ORVO_FORWARD(C_GetMechanismList, (CK_SLOT_ID a, CK_MECHANISM_TYPE_PTR b, CK_ULONG_PTR c), (a, b, c))
ORVO_FORWARD(C_GetMechanismInfo, (CK_SLOT_ID a, CK_MECHANISM_TYPE b, CK_MECHANISM_INFO_PTR c), (a, b, c))
ORVO_FORWARD(C_InitToken, (CK_SLOT_ID a, CK_UTF8CHAR_PTR b, CK_ULONG c, CK_UTF8CHAR_PTR d), (a, b, c, d))
ORVO_FORWARD(C_InitPIN, (CK_SESSION_HANDLE a, CK_UTF8CHAR_PTR b, CK_ULONG c), (a, b, c))
ORVO_FORWARD(C_SetPIN, (CK_SESSION_HANDLE a, CK_UTF8CHAR_PTR b, CK_ULONG c, CK_UTF8CHAR_PTR d, CK_ULONG e),
             (a, b, c, d, e))
ORVO_FORWARD(C_OpenSession, (CK_SLOT_ID a, CK_FLAGS b, CK_VOID_PTR c, CK_NOTIFY d, CK_SESSION_HANDLE_PTR e),
             (a, b, c, d, e))
ORVO_FORWARD(C_CloseSession, (CK_SESSION_HANDLE a), (a))
ORVO_FORWARD(C_CloseAllSessions, (CK_SLOT_ID a), (a))
ORVO_FORWARD(C_GetSessionInfo, (CK_SESSION_HANDLE a, CK_SESSION_INFO_PTR b), (a, b))
ORVO_FORWARD(C_Login, (CK_SESSION_HANDLE a, CK_USER_TYPE b, CK_UTF8CHAR_PTR c, CK_ULONG d), (a, b, c, d))
ORVO_FORWARD(C_Logout, (CK_SESSION_HANDLE a), (a))
ORVO_FORWARD(C_CreateObject, (CK_SESSION_HANDLE a, CK_ATTRIBUTE_PTR b, CK_ULONG c, CK_OBJECT_HANDLE_PTR d),
             (a, b, c, d))
ORVO_FORWARD(C_CopyObject,
             (CK_SESSION_HANDLE a, CK_OBJECT_HANDLE b, CK_ATTRIBUTE_PTR c, CK_ULONG d, CK_OBJECT_HANDLE_PTR e),
             (a, b, c, d, e))
ORVO_FORWARD(C_DestroyObject, (CK_SESSION_HANDLE a, CK_OBJECT_HANDLE b), (a, b))
ORVO_FORWARD(C_GetObjectSize, (CK_SESSION_HANDLE a, CK_OBJECT_HANDLE b, CK_ULONG_PTR c), (a, b, c))
ORVO_FORWARD(C_GetAttributeValue, (CK_SESSION_HANDLE a, CK_OBJECT_HANDLE b, CK_ATTRIBUTE_PTR c, CK_ULONG d),
             (a, b, c, d))
ORVO_FORWARD(C_SetAttributeValue, (CK_SESSION_HANDLE a, CK_OBJECT_HANDLE b, CK_ATTRIBUTE_PTR c, CK_ULONG d),
             (a, b, c, d))
ORVO_FORWARD(C_FindObjectsInit, (CK_SESSION_HANDLE a, CK_ATTRIBUTE_PTR b, CK_ULONG c), (a, b, c))
ORVO_FORWARD(C_FindObjects, (CK_SESSION_HANDLE a, CK_OBJECT_HANDLE_PTR b, CK_ULONG c, CK_ULONG_PTR d),
             (a, b, c, d))
ORVO_FORWARD(C_FindObjectsFinal, (CK_SESSION_HANDLE a), (a))
ORVO_FORWARD(C_EncryptInit, (CK_SESSION_HANDLE a, CK_MECHANISM_PTR b, CK_OBJECT_HANDLE c), (a, b, c))
ORVO_FORWARD(C_Encrypt, (CK_SESSION_HANDLE a, CK_BYTE_PTR b, CK_ULONG c, CK_BYTE_PTR d, CK_ULONG_PTR e),
             (a, b, c, d, e))
ORVO_FORWARD(C_EncryptUpdate, (CK_SESSION_HANDLE a, CK_BYTE_PTR b, CK_ULONG c, CK_BYTE_PTR d, CK_ULONG_PTR e),
             (a, b, c, d, e))
ORVO_FORWARD(C_EncryptFinal, (CK_SESSION_HANDLE a, CK_BYTE_PTR b, CK_ULONG_PTR c), (a, b, c))
ORVO_FORWARD(C_DecryptInit, (CK_SESSION_HANDLE a, CK_MECHANISM_PTR b, CK_OBJECT_HANDLE c), (a, b, c))
ORVO_FORWARD(C_Decrypt, (CK_SESSION_HANDLE a, CK_BYTE_PTR b, CK_ULONG c, CK_BYTE_PTR d, CK_ULONG_PTR e),
             (a, b, c, d, e))
ORVO_FORWARD(C_DecryptUpdate, (CK_SESSION_HANDLE a, CK_BYTE_PTR b, CK_ULONG c, CK_BYTE_PTR d, CK_ULONG_PTR e),
             (a, b, c, d, e))
ORVO_FORWARD(C_DecryptFinal, (CK_SESSION_HANDLE a, CK_BYTE_PTR b, CK_ULONG_PTR c), (a, b, c))
ORVO_FORWARD(C_DigestInit, (CK_SESSION_HANDLE a, CK_MECHANISM_PTR b), (a, b))
ORVO_FORWARD(C_Digest, (CK_SESSION_HANDLE a, CK_BYTE_PTR b, CK_ULONG c, CK_BYTE_PTR d, CK_ULONG_PTR e),
             (a, b, c, d, e))
ORVO_FORWARD(C_DigestUpdate, (CK_SESSION_HANDLE a, CK_BYTE_PTR b, CK_ULONG c), (a, b, c))
ORVO_FORWARD(C_DigestKey, (CK_SESSION_HANDLE a, CK_OBJECT_HANDLE b), (a, b))
ORVO_FORWARD(C_DigestFinal, (CK_SESSION_HANDLE a, CK_BYTE_PTR b, CK_ULONG_PTR c), (a, b, c))
ORVO_FORWARD(C_SignInit, (CK_SESSION_HANDLE a, CK_MECHANISM_PTR b, CK_OBJECT_HANDLE c), (a, b, c))
ORVO_FORWARD(C_Sign, (CK_SESSION_HANDLE a, CK_BYTE_PTR b, CK_ULONG c, CK_BYTE_PTR d, CK_ULONG_PTR e),
             (a, b, c, d, e))
ORVO_FORWARD(C_SignUpdate, (CK_SESSION_HANDLE a, CK_BYTE_PTR b, CK_ULONG c), (a, b, c))
ORVO_FORWARD(C_SignFinal, (CK_SESSION_HANDLE a, CK_BYTE_PTR b, CK_ULONG_PTR c), (a, b, c))
ORVO_FORWARD(C_VerifyInit, (CK_SESSION_HANDLE a, CK_MECHANISM_PTR b, CK_OBJECT_HANDLE c), (a, b, c))
ORVO_FORWARD(C_Verify, (CK_SESSION_HANDLE a, CK_BYTE_PTR b, CK_ULONG c, CK_BYTE_PTR d, CK_ULONG e),
             (a, b, c, d, e))
ORVO_FORWARD(C_VerifyUpdate, (CK_SESSION_HANDLE a, CK_BYTE_PTR b, CK_ULONG c), (a, b, c))
ORVO_FORWARD(C_VerifyFinal, (CK_SESSION_HANDLE a, CK_BYTE_PTR b, CK_ULONG c), (a, b, c))
ORVO_FORWARD(C_GenerateKey,
             (CK_SESSION_HANDLE a, CK_MECHANISM_PTR b, CK_ATTRIBUTE_PTR c, CK_ULONG d, CK_OBJECT_HANDLE_PTR e),
             (a, b, c, d, e))
ORVO_FORWARD(C_GenerateKeyPair,
             (CK_SESSION_HANDLE a, CK_MECHANISM_PTR b, CK_ATTRIBUTE_PTR c, CK_ULONG d, CK_ATTRIBUTE_PTR e,
              CK_ULONG f, CK_OBJECT_HANDLE_PTR g, CK_OBJECT_HANDLE_PTR h),
             (a, b, c, d, e, f, g, h))
ORVO_FORWARD(C_WrapKey,
             (CK_SESSION_HANDLE a, CK_MECHANISM_PTR b, CK_OBJECT_HANDLE c, CK_OBJECT_HANDLE d, CK_BYTE_PTR e,
              CK_ULONG_PTR f),
             (a, b, c, d, e, f))
ORVO_FORWARD(C_UnwrapKey,
             (CK_SESSION_HANDLE a, CK_MECHANISM_PTR b, CK_OBJECT_HANDLE c, CK_BYTE_PTR d, CK_ULONG e,
              CK_ATTRIBUTE_PTR f, CK_ULONG g, CK_OBJECT_HANDLE_PTR h),
             (a, b, c, d, e, f, g, h))
ORVO_FORWARD(C_DeriveKey,
             (CK_SESSION_HANDLE a, CK_MECHANISM_PTR b, CK_OBJECT_HANDLE c, CK_ATTRIBUTE_PTR d, CK_ULONG e,
              CK_OBJECT_HANDLE_PTR f),
             (a, b, c, d, e, f))
ORVO_FORWARD(C_SeedRandom, (CK_SESSION_HANDLE a, CK_BYTE_PTR b, CK_ULONG c), (a, b, c))
ORVO_FORWARD(C_GenerateRandom, (CK_SESSION_HANDLE a, CK_BYTE_PTR b, CK_ULONG c), (a, b, c))
ORVO_FORWARD(C_WaitForSlotEvent, (CK_FLAGS a, CK_SLOT_ID_PTR b, CK_VOID_PTR c), (a, b, c))

// Exported functions that answer a constant without touching the context.
#define ORVO_CONSTANT(name, params, rv) \
    ORVO_EXPORT CK_RV name params { return rv; }

ORVO_CONSTANT(C_GetFunctionStatus, (CK_SESSION_HANDLE), CKR_FUNCTION_NOT_PARALLEL)
ORVO_CONSTANT(C_CancelFunction, (CK_SESSION_HANDLE), CKR_FUNCTION_NOT_PARALLEL)
ORVO_CONSTANT(C_GetOperationState, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR), CKR_FUNCTION_NOT_SUPPORTED)
ORVO_CONSTANT(C_SetOperationState,
              (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE),
              CKR_FUNCTION_NOT_SUPPORTED)
ORVO_CONSTANT(C_SignRecoverInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE), CKR_FUNCTION_NOT_SUPPORTED)
ORVO_CONSTANT(C_SignRecover, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR),
              CKR_FUNCTION_NOT_SUPPORTED)
ORVO_CONSTANT(C_VerifyRecoverInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE),
              CKR_FUNCTION_NOT_SUPPORTED)
ORVO_CONSTANT(C_VerifyRecover, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR),
              CKR_FUNCTION_NOT_SUPPORTED)
ORVO_CONSTANT(C_DigestEncryptUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR),
              CKR_FUNCTION_NOT_SUPPORTED)
ORVO_CONSTANT(C_DecryptDigestUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR),
              CKR_FUNCTION_NOT_SUPPORTED)
ORVO_CONSTANT(C_SignEncryptUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR),
              CKR_FUNCTION_NOT_SUPPORTED)
ORVO_CONSTANT(C_DecryptVerifyUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR),
              CKR_FUNCTION_NOT_SUPPORTED)

namespace {

CK_FUNCTION_LIST functionList = {
    {2, 40},
    C_Initialize, C_Finalize, C_GetInfo, C_GetFunctionList, C_GetSlotList, C_GetSlotInfo,
    C_GetTokenInfo, C_GetMechanismList, C_GetMechanismInfo, C_InitToken, C_InitPIN, C_SetPIN,
    C_OpenSession, C_CloseSession, C_CloseAllSessions, C_GetSessionInfo, C_GetOperationState,
    C_SetOperationState, C_Login, C_Logout, C_CreateObject, C_CopyObject, C_DestroyObject,
    C_GetObjectSize, C_GetAttributeValue, C_SetAttributeValue, C_FindObjectsInit, C_FindObjects,
    C_FindObjectsFinal, C_EncryptInit, C_Encrypt, C_EncryptUpdate, C_EncryptFinal, C_DecryptInit,
    C_Decrypt, C_DecryptUpdate, C_DecryptFinal, C_DigestInit, C_Digest, C_DigestUpdate,
    C_DigestKey, C_DigestFinal, C_SignInit, C_Sign, C_SignUpdate, C_SignFinal, C_SignRecoverInit,
    C_SignRecover, C_VerifyInit, C_Verify, C_VerifyUpdate, C_VerifyFinal, C_VerifyRecoverInit,
    C_VerifyRecover, C_DigestEncryptUpdate, C_DecryptDigestUpdate, C_SignEncryptUpdate,
    C_DecryptVerifyUpdate, C_GenerateKey, C_GenerateKeyPair, C_WrapKey, C_UnwrapKey,
    C_DeriveKey, C_SeedRandom, C_GenerateRandom, C_GetFunctionStatus, C_CancelFunction,
    C_WaitForSlotEvent,
};

}  // namespace

ORVO_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    return guarded([&]() -> CK_RV {
        getContext().log(dravenholt::kTrace, "C_GetFunctionList");
        if (!ppFunctionList) return CKR_ARGUMENTS_BAD;
        *ppFunctionList = &functionList;
        return CKR_OK;
    });
}
