#include "frame/fork_guard.h"

namespace dravenholt {

// Windows has no fork(): a new process starts with a library of its own.
void installForkHandlers() {}

}  // namespace dravenholt
