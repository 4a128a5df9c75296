#include "transport/hid_access.h"

#include <hidapi/hidapi.h>

namespace dravenholt {

std::mutex& hidApiMutex() {
    static std::mutex mutex;
    return mutex;
}

// hidapi keeps process-wide state (its last error text among it) from hid_init on; release it
// when the library is unloaded so that loading and unloading leaks nothing.
__attribute__((destructor)) static void releaseHidApi() {
    std::lock_guard<std::mutex> guard(hidApiMutex());
    hid_exit();
}

}  // namespace dravenholt
