// Progress of the storage transfers for the maintenance tool (not exported): the bytes moved so
// far after each piece, and the whole length when known (0 when not).
#pragma once

#include <cstdint>
#include <functional>

namespace dravenholt::admin {

using TransferProgress = std::function<void(uint64_t done, uint64_t total)>;

// Applies to transfers on the calling thread; an empty function ends the reports.
void setTransferProgress(TransferProgress progress);
void reportTransferProgress(uint64_t done, uint64_t total);

}  // namespace dravenholt::admin
