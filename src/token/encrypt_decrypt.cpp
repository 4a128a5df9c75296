// Encryption and decryption. The device keeps the active operation of each session; every call
// is one device call, and the six data calls share one worker with the standard's output
// convention (DeviceCall::callerOutput).
#include "protocol/function_ids.h"
#include "token/mechanism_params.h"
#include "token/operation.h"
#include "token/operations.h"

using namespace dravenholt;

namespace {

CK_RV cryptInit(Context& context, Entry& entry, CK_SESSION_HANDLE hSession, uint32_t function,
                const CK_MECHANISM* mechanism, CK_OBJECT_HANDLE hKey) {
    return entry.session(hSession, function, [&](DeviceCall& call) {
        encodeMechanism(context, call, *mechanism);
        call.handle(hKey, CKR_KEY_HANDLE_INVALID);
        return call.run(context);
    });
}

CK_RV crypt(Context& context, const char* name, uint32_t function, CK_SESSION_HANDLE hSession,
            const CK_BYTE* input, CK_ULONG inputLength, CK_BYTE_PTR output, CK_ULONG_PTR pulOutputLength) {
    return Entry(context, name).session(hSession, function, [&](DeviceCall& call) {
        if (input) call.data(input, inputLength);
        if (pulOutputLength) return call.callerOutput(output, pulOutputLength).runOutput(context, pulOutputLength);
        // Without a length there is no capacity: a query, or a buffer that takes nothing.
        if (output) return call.output(output, 0).run(context);
        return call.lengthOnly().run(context);
    });
}

}  // namespace

CK_RV ops::C_EncryptInit(Context& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    Entry entry(context, "C_EncryptInit");
    entry.check(pMechanism != nullptr, CKR_ARGUMENTS_BAD, "C_EncryptInit invalid params - mechanism is NULL.")
        .check(!pMechanism || pMechanism->pParameter || pMechanism->ulParameterLen == 0, CKR_ARGUMENTS_BAD,
               "C_EncryptInit invalid params - mechanism is NULL but param len is not null.");
    return cryptInit(context, entry, hSession, fn::EncryptInit, pMechanism, hKey);
}

CK_RV ops::C_DecryptInit(Context& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    Entry entry(context, "C_DecryptInit");
    entry.check(pMechanism != nullptr);
    return cryptInit(context, entry, hSession, fn::DecryptInit, pMechanism, hKey);
}

CK_RV ops::C_Encrypt(Context& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                          CK_BYTE_PTR pEncryptedData, CK_ULONG_PTR pulEncryptedDataLen) {
    return crypt(context, "C_Encrypt", fn::Encrypt, hSession, pData, ulDataLen, pEncryptedData, pulEncryptedDataLen);
}

CK_RV ops::C_EncryptUpdate(Context& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen,
                                CK_BYTE_PTR pEncryptedPart, CK_ULONG_PTR pulEncryptedPartLen) {
    return crypt(context, "C_EncryptUpdate", fn::EncryptUpdate, hSession, pPart, ulPartLen, pEncryptedPart,
                 pulEncryptedPartLen);
}

CK_RV ops::C_EncryptFinal(Context& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastEncryptedPart,
                               CK_ULONG_PTR pulLastEncryptedPartLen) {
    return crypt(context, "C_EncryptFinal", fn::EncryptFinal, hSession, nullptr, 0, pLastEncryptedPart,
                 pulLastEncryptedPartLen);
}

CK_RV ops::C_Decrypt(Context& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen,
                          CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen) {
    return crypt(context, "C_Decrypt", fn::Decrypt, hSession, pEncryptedData, ulEncryptedDataLen, pData, pulDataLen);
}

CK_RV ops::C_DecryptUpdate(Context& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart, CK_ULONG ulEncryptedPartLen,
                                CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen) {
    return crypt(context, "C_DecryptUpdate", fn::DecryptUpdate, hSession, pEncryptedPart, ulEncryptedPartLen, pPart,
                 pulPartLen);
}

CK_RV ops::C_DecryptFinal(Context& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastPart, CK_ULONG_PTR pulLastPartLen) {
    return crypt(context, "C_DecryptFinal", fn::DecryptFinal, hSession, nullptr, 0, pLastPart, pulLastPartLen);
}
