// hidapi's initialisation, enumeration and open touch process-wide state and are not
// thread-safe: every use of them in the library holds this lock.
#pragma once

#include <mutex>

namespace dravenholt {

std::mutex& hidApiMutex();

// hidapi keeps process-wide state (its last error text among it) from hid_init on: the library's
// unload path releases it, so that loading and unloading leaks nothing.
void releaseHidApi();

}  // namespace dravenholt
