// The library's own report framing: a request goes out as numbered output reports (ID 0x01),
// a reply comes back as numbered input reports (ID 0x02), the first of each carrying the
// message's 24-bit length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include <hidapi/hidapi.h>

namespace dravenholt::reports {

constexpr uint8_t kRequestReportId = 0x01;
constexpr uint8_t kReplyReportId = 0x02;
constexpr uint8_t kFirstPacket = 0x00;
constexpr uint8_t kFurtherPacket = 0x01;
constexpr size_t kFirstHeader = 5;    // report ID, packet type, 24-bit length
constexpr size_t kFurtherHeader = 2;  // report ID, packet type
constexpr size_t kMaxMessage = 0xFFFFFF;

// Sends `length` bytes as reports of `reportLength` bytes. Throws DeviceError when hidapi
// refuses a report; reports already sent stay sent.
void send(hid_device* handle, size_t reportLength, const uint8_t* data, size_t length);

// Receives one reply, report by report, each waited for up to `timeoutMs` (at most INT_MAX),
// appending its bytes to `queue`. A first report that arrives before the reply is complete
// starts the reply over, dropping the bytes of the unfinished one. Returns normally when the
// announced length arrived or a report did not come in time; throws DeviceError on a read error
// or an invalid report (bytes already appended stay).
void receive(hid_device* handle, size_t reportLength, uint32_t timeoutMs, std::deque<uint8_t>& queue);

}  // namespace dravenholt::reports
