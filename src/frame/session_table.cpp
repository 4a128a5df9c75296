#include "frame/session_table.h"

namespace dravenholt {

CK_RV SessionTable::lookup(CK_SESSION_HANDLE handle, SessionRecord& record) const {
    auto it = records_.find(handle);
    if (it == records_.end() || it->second.port < 0) return CKR_SESSION_HANDLE_INVALID;
    record = it->second;
    return CKR_OK;
}

CK_SESSION_HANDLE SessionTable::add(int32_t port, uint32_t deviceHandle) {
    CK_SESSION_HANDLE handle = next_++;
    records_[handle] = SessionRecord{port, deviceHandle};
    return handle;
}

void SessionTable::endAllOn(int32_t port) {
    for (auto& [handle, record] : records_)
        if (record.port == port) record.ended = true;
}

std::vector<uint32_t> SessionTable::openOn(int32_t port) const {
    std::vector<uint32_t> handles;
    for (const auto& [handle, record] : records_)
        if (record.port == port && !record.ended) handles.push_back(record.deviceHandle);
    return handles;
}

}  // namespace dravenholt
