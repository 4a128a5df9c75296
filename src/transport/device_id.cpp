#include "transport/device_id.h"

namespace dravenholt {
namespace {

unsigned nibble(unsigned char c) {
    if (c >= 'A' && c <= 'F') return c - 55u;
    if (c < 'a') return c - 48u;
    return c - 87u;
}

}  // namespace

uint64_t deviceIdFromSerial(const std::string& serial) {
    uint64_t id = 0;
    for (unsigned k = 0; k < 6 && 2 * k + 1 < serial.size(); ++k) {
        uint64_t byte = (16u * nibble(serial[2 * k]) + nibble(serial[2 * k + 1])) & 0xFFu;
        id |= byte << (8 * k);
    }
    return id;
}

std::string serialFromDeviceId(uint64_t id) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned k = 0; k < 6; ++k) {
        unsigned byte = (id >> (8 * k)) & 0xFFu;
        out.push_back(digits[byte >> 4]);
        out.push_back(digits[byte & 0xF]);
    }
    return out;
}

}  // namespace dravenholt
