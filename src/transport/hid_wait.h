// hidapi takes the time a read may wait as an int of milliseconds and reads a negative one as
// "wait for ever"; a transport's timeout is unsigned.
#pragma once

#include <climits>
#include <cstdint>

namespace dravenholt {

// The timeout as hidapi's longest finite wait: 2^31 ms and more become INT_MAX (24.8 days),
// never a negative number.
constexpr int hidWaitMs(uint32_t milliseconds) {
    return milliseconds > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(milliseconds);
}

}  // namespace dravenholt
