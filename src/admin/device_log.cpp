// The device log: the device's bytes into the caller's buffer.
#include "admin/admin_call.h"
#include "protocol/function_ids.h"

using namespace dravenholt;
using namespace dravenholt::admin;

namespace {

// On success *length becomes the number of log bytes received, so that the caller knows how
// many bytes of its buffer are log entries; on failure the length the device needs, if it said.
bool readLog(CContext& context, uint32_t slot, uint8_t* buffer, uint64_t* length) {
    Entry entry(context, "bReadLogEntries");
    if (!length || (!buffer && *length > 0) || entry.rv() != CKR_OK) return false;
    const uint32_t capacity = wireCapacity(*length);
    DeviceCall call(fn::ReadLogEntries);
    addressSlot(call, slot);
    call.length(capacity).output(buffer, capacity);
    CK_ULONG received = 0;
    if (call.runReporting(context, &received, false) == CKR_OK) {
        *length = received;
        return true;
    }
    if (call.response.has_length) *length = call.response.length;
    return false;
}

}  // namespace

ORVO_EXPORT bool bReadLogEntries(uint32_t slot, uint8_t* buffer, uint64_t* length) {
    try {
        return readLog(getContext(), slot, buffer, length);
    } catch (...) {
        return false;
    }
}
