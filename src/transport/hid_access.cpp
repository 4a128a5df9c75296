#include "transport/hid_access.h"

#include <hidapi/hidapi.h>

namespace dravenholt {

std::mutex& hidApiMutex() {
    static std::mutex mutex;
    return mutex;
}

void releaseHidApi() {
    std::lock_guard<std::mutex> guard(hidApiMutex());
    hid_exit();
}

}  // namespace dravenholt
