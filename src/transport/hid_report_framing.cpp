#include "transport/hid_report_framing.h"

#include <algorithm>
#include <vector>

#include "base/errors.h"
#include "transport/hid_text.h"
#include "transport/hid_wait.h"

namespace dravenholt::reports {

void send(hid_device* handle, size_t reportLength, const uint8_t* data, size_t length) {
    std::vector<uint8_t> report(reportLength + 1);
    size_t sent = 0;
    while (sent < length) {
        std::fill(report.begin(), report.end(), 0);
        report[0] = kRequestReportId;
        size_t header = kFurtherHeader;
        if (sent == 0) {
            report[1] = kFirstPacket;
            report[2] = length & 0xFF;
            report[3] = (length >> 8) & 0xFF;
            report[4] = (length >> 16) & 0xFF;
            header = kFirstHeader;
        } else {
            report[1] = kFurtherPacket;
        }
        size_t chunk = std::min(length - sent, reportLength - header);
        std::copy_n(data + sent, chunk, report.begin() + header);
        sent += chunk;
        if (hid_write(handle, report.data(), reportLength) != static_cast<int>(reportLength))
            throwHidError(handle, "HID write failed.");
    }
}

void receive(hid_device* handle, size_t reportLength, uint32_t timeoutMs, std::deque<uint8_t>& queue) {
    std::vector<uint8_t> report(reportLength + 1);
    const size_t start = queue.size();  // bytes of earlier replies, still to be handed out
    size_t expected = 0;
    size_t received = 0;
    do {
        // Only the bytes a report actually carried count; the rest of the buffer stays zero.
        std::fill(report.begin(), report.end(), 0);
        int got = hid_read_timeout(handle, report.data(), reportLength, hidWaitMs(timeoutMs));
        if (got < 0) throwHidError(handle, nullptr);
        if (got == 0) return;
        size_t carried = std::min<size_t>(got, reportLength);
        if (report[0] != kReplyReportId) throw DeviceError("Invalid HID report id received");
        size_t header = 0;
        size_t want = 0;
        if (report[1] == kFirstPacket) {
            // The device started its reply over: what came of the unfinished one is dropped.
            queue.resize(start);
            expected = report[2] | (size_t{report[3]} << 8) | (size_t{report[4]} << 16);
            received = 0;
            header = kFirstHeader;
            want = expected;
        } else if (report[1] == kFurtherPacket) {
            if (expected == 0) throw DeviceError("Invalid HID packet received (out of order)");
            header = kFurtherHeader;
            want = expected - received;
        } else {
            throw DeviceError("Invalid HID packet id received");
        }
        size_t available = carried > header ? carried - header : 0;
        size_t take = std::min(available, want);
        queue.insert(queue.end(), report.begin() + header, report.begin() + header + take);
        received += take;
        if (take == 0 && received < expected) return;  // a report without reply bytes: give up
    } while (received < expected);
}

}  // namespace dravenholt::reports
