// Placeholder until the HID transport lands: no USB device is ever listed.
#include "transport/hid_pair.h"

namespace dravenholt {

std::vector<uint64_t> listHidDevices(CContext&) { return {}; }
std::unique_ptr<CTransport> makeHidTransport(uint64_t, CContext&) { return nullptr; }

}  // namespace dravenholt

namespace dravenholt {
std::string hidProductName(CTransport&) { return ""; }
}  // namespace dravenholt
