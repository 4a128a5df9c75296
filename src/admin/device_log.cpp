// The device log: the device's bytes into the caller's buffer.
#include "admin/admin_call.h"
#include "protocol/function_ids.h"

using namespace dravenholt;
using namespace dravenholt::admin;

namespace {

// On success *length becomes the number of log bytes received, so that the caller knows how
// many bytes of its buffer are log entries; on failure the length the device needs, if it said.
CK_RV readLog(Context& context, uint32_t slot, uint8_t* buffer, uint64_t* length) {
    Entry entry(context, "bReadLogEntries");
    entry.check(length && (buffer || *length == 0));
    return entry.slot(slot, [&](int32_t port) {
        const uint32_t capacity = wireCapacity(*length);
        DeviceCall call(fn::ReadLogEntries, port);
        call.length(capacity).output(buffer, capacity);
        CK_ULONG received = 0;
        CK_RV rv = call.runReporting(context, &received, false);
        if (rv == CKR_OK)
            *length = received;
        else if (call.response.has_length)
            *length = call.response.length;
        return rv;
    }, false);
}

}  // namespace

ORVO_EXPORT bool bReadLogEntries(uint32_t slot, uint8_t* buffer, uint64_t* length) {
    return exported([&] { return readLog(getContext(), slot, buffer, length); }) == CKR_OK;
}
