// C_GetInfo and C_WaitForSlotEvent: answered by the library alone.
#include <cstring>

#include "token/operations.h"

namespace dravenholt {

CK_RV ops::C_GetInfo(Context& context, CK_INFO_PTR pInfo) {
    if (!context.initialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
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

CK_RV ops::C_WaitForSlotEvent(Context& context, CK_FLAGS, CK_SLOT_ID_PTR, CK_VOID_PTR) {
    return context.initialized() ? CKR_FUNCTION_NOT_SUPPORTED : CKR_CRYPTOKI_NOT_INITIALIZED;
}

}  // namespace dravenholt
