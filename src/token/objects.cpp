// Objects: create, copy, destroy, size, and reading and writing their attributes.
#include "protocol/function_ids.h"
#include "token/attributes.h"
#include "token/operation.h"

using namespace dravenholt;

CK_RV CContext::C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                               CK_OBJECT_HANDLE_PTR phObject) {
    Entry entry(*this, "C_CreateObject");
    entry.check(pTemplate && ulCount != 0 && phObject);
    return entry.session(hSession, fn::CreateObject, [&](DeviceCall& call) {
        return call.attributes(pTemplate, ulCount).runForHandle(*this, phObject);
    });
}

CK_RV CContext::C_CopyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                             CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phNewObject) {
    Entry entry(*this, "C_CopyObject");
    entry.check(pTemplate && phNewObject);
    return entry.session(hSession, fn::CopyObject, [&](DeviceCall& call) {
        CK_RV rv = call.handle(hObject, CKR_OBJECT_HANDLE_INVALID)
                       .attributes(pTemplate, ulCount)
                       .runForHandle(*this, phNewObject);
        if (rv == CKR_FUNCTION_FAILED) log(kError, "copy obj failed");
        return rv;
    });
}

CK_RV CContext::C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
    Entry entry(*this, "C_DestroyObject");
    return entry.session(hSession, fn::DestroyObject, [&](DeviceCall& call) {
        return call.handle(hObject, CKR_OBJECT_HANDLE_INVALID).run(*this);
    });
}

CK_RV CContext::C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize) {
    Entry entry(*this, "C_GetObjectSize");
    entry.check(pulSize != nullptr);
    return entry.session(hSession, fn::GetObjectSize, [&](DeviceCall& call) {
        CK_RV rv = call.handle(hObject, CKR_OBJECT_HANDLE_INVALID).run(*this);
        *pulSize = call.response.has_length ? hostULong(call.response.length) : 0;
        return rv;
    });
}

CK_RV CContext::C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                    CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    Entry entry(*this, "C_SetAttributeValue");
    entry.check(pTemplate != nullptr).check(ulCount != 0);
    return entry.session(hSession, fn::SetAttributeValue, [&](DeviceCall& call) {
        return call.handle(hObject, CKR_OBJECT_HANDLE_INVALID).attributes(pTemplate, ulCount).run(*this);
    });
}

CK_RV CContext::C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                    CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    Entry entry(*this, "C_GetAttributeValue");
    entry.check(pTemplate && ulCount != 0);
    // A reply holds at most kMaxResultAttributes values: a longer template is read in several
    // calls under one hold of the mutex, every record processed as far as the answers allow.
    return entry.locked([&] {
        CK_RV result = CKR_OK;
        forPieces(ulCount, kMaxResultAttributes, [&](CK_ULONG offset, CK_ULONG count) {
            CK_RV rv = entry.inSession(hSession, fn::GetAttributeValue, [&](DeviceCall& call) {
                AttributeTable table;
                call.handle(hObject, CKR_OBJECT_HANDLE_INVALID).types(pTemplate + offset, count).attributeResults(table);
                CK_RV answer = call.run(*this);
                return copyAttributes(table, pTemplate + offset, count, answer);
            });
            result = combineAttributeResults(result, rv);
            return processedAll(result);
        });
        return result;
    });
}
