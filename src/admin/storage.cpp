// The token's storage image: backup and restore in pieces, and factory reset.
#include <algorithm>

#include "admin/admin_call.h"
#include "admin/transfer_progress.h"
#include "protocol/function_ids.h"

using namespace dravenholt;
using namespace dravenholt::admin;

namespace {

constexpr uint64_t kRestorePiece = 1536;

// Pieces until the device answers CKR_OK; each lands after the ones before it. Both transfers
// hold the library mutex throughout, so the pieces of two transfers never interleave.
CK_RV backup(Context& context, uint32_t slot, uint8_t* buffer, uint64_t* length) {
    Entry entry(context, nullptr);
    return entry.slot(slot, [&](int32_t port) -> CK_RV {
        if (!buffer || !length || *length == 0) return CKR_ARGUMENTS_BAD;
        const uint32_t capacity = wireCapacity(*length);
        uint32_t total = 0;
        uint32_t continuation = 0;
        CK_RV rv = CKR_OK;
        for (bool first = true;; first = false) {
            DeviceCall call(fn::BackupStorage, port);
            call.length(capacity).output(buffer + total, capacity - total);
            if (!first) call.handle(continuation, CKR_ARGUMENTS_BAD);
            CK_ULONG received = 0;
            rv = call.runReporting(context, &received, false);
            if (rv != CKR_OK && rv != CKR_OPERATION_ACTIVE) break;
            total += static_cast<uint32_t>(received);
            continuation = call.response.has_handle ? call.response.handle : 0;
            // A device may announce the image's length in field 4; only progress reports use it.
            reportTransferProgress(total, call.response.has_length ? call.response.length : 0);
            if (rv == CKR_OK) break;
            if (received == 0) {  // a device that promises more but sends nothing would never end
                context.logMessage(kError, "backup piece without data");
                rv = CKR_FUNCTION_FAILED;
                break;
            }
        }
        *length = total;
        return rv;
    });
}

// Pieces of at most kRestorePiece bytes, each with the image's length and the offset just past
// it, while the device asks for more.
CK_RV restore(Context& context, uint32_t slot, const uint8_t* data, uint64_t length) {
    Entry entry(context, nullptr);
    return entry.slot(slot, [&](int32_t port) -> CK_RV {
        if (!data || length == 0) return CKR_ARGUMENTS_BAD;
        if (!lengthFitsWire(length)) return CKR_DATA_LEN_RANGE;
        uint64_t sent = 0;
        CK_RV rv = CKR_OK;
        do {
            uint64_t piece = std::min(length - sent, kRestorePiece);
            DeviceCall call(fn::RestoreStorage, port);
            call.data(data + sent, piece);
            sent += piece;
            call.handle(length, CKR_DATA_LEN_RANGE).handle2(sent, CKR_DATA_LEN_RANGE);
            rv = call.run(context);
            if (rv == CKR_OK || rv == CKR_OPERATION_ACTIVE) reportTransferProgress(sent, length);
        } while (rv == CKR_OPERATION_ACTIVE && sent < length);
        return rv;
    });
}

}  // namespace

ORVO_EXPORT uint32_t u32BackupStorage(uint32_t slot, uint8_t* buffer, uint64_t* length) {
    return exported([&] { return backup(getContext(), slot, buffer, length); });
}

ORVO_EXPORT uint32_t u32RestoreStorage(uint32_t slot, const uint8_t* data, uint64_t length) {
    return exported([&] { return restore(getContext(), slot, data, length); });
}

ORVO_EXPORT uint32_t u32FactoryReset(uint32_t slot) {
    return slotCall(slot, fn::FactoryReset, [](DeviceCall&) {});
}
