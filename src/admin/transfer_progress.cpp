#include "admin/transfer_progress.h"

namespace dravenholt::admin {
namespace {
thread_local TransferProgress current;
}

void setTransferProgress(TransferProgress progress) { current = std::move(progress); }

void reportTransferProgress(uint64_t done, uint64_t total) {
    if (current) current(done, total);
}

}  // namespace dravenholt::admin
