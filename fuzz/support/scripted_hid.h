// A scripted hidapi for the fuzz targets: one device whose input reports come from a queue the
// target fills, so that reassembly runs on exactly the reports an input describes, at once and
// deterministically (a read of an empty queue is a timeout that costs no time).
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace fuzzhid {

using Bytes = std::vector<uint8_t>;

struct Device {
    // What each hid_read_timeout returns, in order: a report (truncated to the length asked
    // for), or nothing for a read error (-1). An empty queue reads as a timeout (0).
    std::deque<std::optional<Bytes>> input;
    bool failWrites = false;
    // Answers the U2F channel allocation with this channel, echoing the nonce.
    std::optional<uint32_t> u2fChannel;
    // The report descriptor the platform gives; none: the platform cannot tell.
    std::optional<Bytes> descriptor;
    size_t writes = 0;
    // The strings the enumeration lists for the device.
    std::wstring manufacturer = L"Dravenholtique";
    std::wstring product = L"Orvo";
    std::wstring serial = L"0123456789AB";
};

Device& device();

}  // namespace fuzzhid
