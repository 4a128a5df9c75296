// The sessions this process opened: a handle issued by the library, unique within the process,
// mapped to its port and to the device's own handle. Used under the library mutex.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "base/pkcs11.h"

namespace dravenholt {

struct SessionRecord {
    int32_t port;
    uint32_t deviceHandle;
    bool ended = false;  // closed on the device by C_CloseAllSessions
};

class SessionTable {
public:
    // CKR_SESSION_HANDLE_INVALID for a handle the table does not have.
    CK_RV lookup(CK_SESSION_HANDLE handle, SessionRecord& record) const;
    CK_SESSION_HANDLE add(int32_t port, uint32_t deviceHandle);
    void erase(CK_SESSION_HANDLE handle) { records_.erase(handle); }
    // The records stay (calls with them still reach the device), marked ended.
    void endAllOn(int32_t port);
    // The device handles of the sessions on `port` that are not ended.
    std::vector<uint32_t> openOn(int32_t port) const;
    size_t size() const { return records_.size(); }
    void clear() { records_.clear(); }

private:
    std::map<CK_SESSION_HANDLE, SessionRecord> records_;
    CK_SESSION_HANDLE next_ = 1;
};

}  // namespace dravenholt
