// Objects: create, copy, destroy, size, and reading and writing their attributes.
#include "protocol/function_ids.h"
#include "token/attributes.h"
#include "token/operation.h"
#include "token/operations.h"

using namespace dravenholt;

CK_RV ops::C_CreateObject(Context& context, CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                               CK_OBJECT_HANDLE_PTR phObject) {
    Entry entry(context, "C_CreateObject");
    entry.check(pTemplate && ulCount != 0 && phObject);
    return entry.session(hSession, fn::CreateObject, [&](DeviceCall& call) {
        return call.attributes(pTemplate, ulCount).runForHandle(context, phObject);
    });
}

CK_RV ops::C_CopyObject(Context& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                             CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phNewObject) {
    Entry entry(context, "C_CopyObject");
    entry.check(pTemplate && phNewObject);
    return entry.session(hSession, fn::CopyObject, [&](DeviceCall& call) {
        CK_RV rv = call.handle(hObject, CKR_OBJECT_HANDLE_INVALID)
                       .attributes(pTemplate, ulCount)
                       .runForHandle(context, phNewObject);
        if (rv == CKR_FUNCTION_FAILED) context.log(kError, "copy obj failed");
        return rv;
    });
}

CK_RV ops::C_DestroyObject(Context& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
    Entry entry(context, "C_DestroyObject");
    return entry.session(hSession, fn::DestroyObject, [&](DeviceCall& call) {
        return call.handle(hObject, CKR_OBJECT_HANDLE_INVALID).run(context);
    });
}

CK_RV ops::C_GetObjectSize(Context& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize) {
    Entry entry(context, "C_GetObjectSize");
    entry.check(pulSize != nullptr);
    return entry.session(hSession, fn::GetObjectSize, [&](DeviceCall& call) {
        CK_RV rv = call.handle(hObject, CKR_OBJECT_HANDLE_INVALID).run(context);
        *pulSize = call.response.has_length ? hostULong(call.response.length) : 0;
        return rv;
    });
}

CK_RV ops::C_SetAttributeValue(Context& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                    CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    Entry entry(context, "C_SetAttributeValue");
    entry.check(pTemplate != nullptr).check(ulCount != 0);
    return entry.session(hSession, fn::SetAttributeValue, [&](DeviceCall& call) {
        return call.handle(hObject, CKR_OBJECT_HANDLE_INVALID).attributes(pTemplate, ulCount).run(context);
    });
}

CK_RV ops::C_GetAttributeValue(Context& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                    CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    Entry entry(context, "C_GetAttributeValue");
    entry.check(pTemplate && ulCount != 0);
    // A reply holds at most kMaxResultAttributes values: a longer template is read in several
    // calls under one hold of the mutex, every record processed as far as the answers allow.
    return entry.locked([&] {
        CK_RV result = CKR_OK;
        forPieces(ulCount, kMaxResultAttributes, [&](CK_ULONG offset, CK_ULONG count) {
            CK_RV rv = entry.inSession(hSession, fn::GetAttributeValue, [&](DeviceCall& call) {
                AttributeTable table;
                call.handle(hObject, CKR_OBJECT_HANDLE_INVALID).types(pTemplate + offset, count).attributeResults(table);
                CK_RV answer = call.run(context);
                return copyAttributes(table, pTemplate + offset, count, answer);
            });
            result = combineAttributeResults(result, rv);
            return processedAll(result);
        });
        return result;
    });
}
