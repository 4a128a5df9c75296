// hidapi's initialisation, enumeration and open touch process-wide state and are not
// thread-safe: every use of them in the library holds this lock.
#pragma once

#include <mutex>

namespace dravenholt {

std::mutex& hidApiMutex();

}  // namespace dravenholt
