// What the administration calls keep in a simulated device beside the token: the storage image
// transfers in progress, the device log, and the idle time of each session.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "common.h"

namespace dravenholt::sim {

// A storage image on its way out (backup) or in (restore). The image holds key material and
// PIN hashes: it is wiped when the transfer ends.
struct StorageTransfer {
    Bytes image;
    size_t offset = 0;     // backup: bytes handed out so far
    uint32_t id = 0;       // backup: the continuation value of this transfer
    uint32_t total = 0;    // restore: the announced image length
    StorageTransfer() = default;
    StorageTransfer(const StorageTransfer&) = delete;
    StorageTransfer& operator=(const StorageTransfer&) = delete;
    ~StorageTransfer() { wipe(image); }
};

// Security-relevant events as text lines, newest last, bounded so that the whole log fits one
// reply: the oldest lines give way.
class DeviceLog {
public:
    void append(const std::string& when, const std::string& event);
    Bytes contents() const;
    size_t size() const { return size_; }

private:
    std::deque<std::string> lines_;
    size_t size_ = 0;
    uint32_t sequence_ = 0;
};

struct AdminState {
    std::optional<StorageTransfer> backup;
    std::optional<StorageTransfer> restore;
    uint32_t nextTransfer = 1;
    DeviceLog log;
    // Monotonic seconds; the steady clock unless a test gives its own.
    std::function<int64_t()> clock;
    // When each open session was last used, in clock seconds.
    std::map<uint32_t, int64_t> lastUse;

    int64_t now() const;
};

}  // namespace dravenholt::sim
