// Object search: the device holds the search; the library forwards the template and unpacks
// batches of 32-bit handles into the caller's array.
#include <cstdlib>
#include <cstring>

#include "protocol/function_ids.h"
#include "token/operation.h"
#include "token/operations.h"

using namespace dravenholt;

namespace {

// The handle list received for one call, freed when the call ends.
struct ReceivedHandles {
    ByteSpan span;
    ~ReceivedHandles() { std::free(span.data); }
    CK_ULONG count() const { return span.data ? span.length / sizeof(uint32_t) : 0; }
    CK_OBJECT_HANDLE at(CK_ULONG i) const {
        uint32_t handle;  // the device's byte order, which is the host's
        std::memcpy(&handle, span.data + i * sizeof handle, sizeof handle);
        return handle;
    }
};

}  // namespace

CK_RV ops::C_FindObjectsInit(Context& context, CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    Entry entry(context, "C_FindObjectsInit");
    return entry.session(hSession, fn::FindObjectsInit, [&](DeviceCall& call) {
        if (pTemplate) call.attributes(pTemplate, ulCount);
        return call.run(context);
    });
}

CK_RV ops::C_FindObjects(Context& context, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                              CK_ULONG_PTR pulObjectCount) {
    Entry entry(context, "C_FindObjects");
    entry.check(phObject && ulMaxObjectCount != 0 && pulObjectCount);
    return entry.session(hSession, fn::FindObjects, [&](DeviceCall& call) {
        ReceivedHandles handles;
        setDecode(call.response.data, decodeAllocated, &handles.span);
        CK_RV rv = call.length(ulMaxObjectCount).run(context);
        *pulObjectCount = 0;
        // More handles than asked for is a broken reply: the array has no room for them.
        if (handles.count() > ulMaxObjectCount) {
            context.log(kError, "C_FindObjects: the device sent more handles than asked for");
            return static_cast<CK_RV>(CKR_FUNCTION_FAILED);
        }
        for (CK_ULONG i = 0; i < handles.count(); ++i) phObject[i] = handles.at(i);
        *pulObjectCount = handles.count();
        return rv;
    });
}

CK_RV ops::C_FindObjectsFinal(Context& context, CK_SESSION_HANDLE hSession) {
    return Entry(context, "C_FindObjectsFinal").simple(hSession, fn::FindObjectsFinal);
}
