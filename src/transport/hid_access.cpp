#include "transport/hid_access.h"

namespace dravenholt {

std::mutex& hidApiMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace dravenholt
