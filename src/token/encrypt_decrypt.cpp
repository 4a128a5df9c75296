// Encryption and decryption. The device keeps the active operation of each session; every call
// is one device call, and the six data calls share one worker with the standard's output
// convention (DeviceCall::callerOutput).
#include "protocol/function_ids.h"
#include "token/mechanism_params.h"
#include "token/operation.h"

using namespace dravenholt;

namespace {

CK_RV cryptInit(CContext& context, Entry& entry, CK_SESSION_HANDLE hSession, uint32_t function,
                const CK_MECHANISM* mechanism, CK_OBJECT_HANDLE hKey) {
    return entry.session(hSession, function, [&](DeviceCall& call) {
        encodeMechanism(context, call, *mechanism);
        call.handle(hKey, CKR_KEY_HANDLE_INVALID);
        return call.run(context);
    });
}

CK_RV crypt(CContext& context, const char* name, uint32_t function, CK_SESSION_HANDLE hSession,
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

CK_RV CContext::C_EncryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    Entry entry(*this, "C_EncryptInit");
    entry.check(pMechanism != nullptr, CKR_ARGUMENTS_BAD, "C_EncryptInit invalid params - mechanism is NULL.")
        .check(!pMechanism || pMechanism->pParameter || pMechanism->ulParameterLen == 0, CKR_ARGUMENTS_BAD,
               "C_EncryptInit invalid params - mechanism is NULL but param len is not null.");
    return cryptInit(*this, entry, hSession, fn::EncryptInit, pMechanism, hKey);
}

CK_RV CContext::C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    Entry entry(*this, "C_DecryptInit");
    entry.check(pMechanism != nullptr);
    return cryptInit(*this, entry, hSession, fn::DecryptInit, pMechanism, hKey);
}

CK_RV CContext::C_Encrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                          CK_BYTE_PTR pEncryptedData, CK_ULONG_PTR pulEncryptedDataLen) {
    return crypt(*this, "C_Encrypt", fn::Encrypt, hSession, pData, ulDataLen, pEncryptedData, pulEncryptedDataLen);
}

CK_RV CContext::C_EncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen,
                                CK_BYTE_PTR pEncryptedPart, CK_ULONG_PTR pulEncryptedPartLen) {
    return crypt(*this, "C_EncryptUpdate", fn::EncryptUpdate, hSession, pPart, ulPartLen, pEncryptedPart,
                 pulEncryptedPartLen);
}

CK_RV CContext::C_EncryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastEncryptedPart,
                               CK_ULONG_PTR pulLastEncryptedPartLen) {
    return crypt(*this, "C_EncryptFinal", fn::EncryptFinal, hSession, nullptr, 0, pLastEncryptedPart,
                 pulLastEncryptedPartLen);
}

CK_RV CContext::C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen,
                          CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen) {
    return crypt(*this, "C_Decrypt", fn::Decrypt, hSession, pEncryptedData, ulEncryptedDataLen, pData, pulDataLen);
}

CK_RV CContext::C_DecryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart, CK_ULONG ulEncryptedPartLen,
                                CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen) {
    return crypt(*this, "C_DecryptUpdate", fn::DecryptUpdate, hSession, pEncryptedPart, ulEncryptedPartLen, pPart,
                 pulPartLen);
}

CK_RV CContext::C_DecryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastPart, CK_ULONG_PTR pulLastPartLen) {
    return crypt(*this, "C_DecryptFinal", fn::DecryptFinal, hSession, nullptr, 0, pLastPart, pulLastPartLen);
}
