// Shared pieces of the HID tests: virtual devices unplugged after each test, ready-made
// responders, and transports opened by serial number.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/errors.h"
#include "transport/hid_transport.h"
#include "vhid/vhid.h"

namespace hidtest {

using dravenholt::HidTransport;
using dravenholt::vhid::Bytes;
using dravenholt::vhid::DeviceProfile;
using dravenholt::vhid::Faults;
using dravenholt::vhid::Framing;
using dravenholt::vhid::plugIn;
using namespace std::chrono_literals;

inline Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Answers every request with "re:" and the request.
inline Bytes echo(const Bytes& request) {
    Bytes reply = bytes("re:");
    reply.insert(reply.end(), request.begin(), request.end());
    return reply;
}

// Answers with `size` bytes counting up from the request's first byte.
inline dravenholt::vhid::Responder sized(size_t size) {
    return [size](const Bytes& request) {
        Bytes reply(size);
        for (size_t i = 0; i < size; ++i) reply[i] = static_cast<uint8_t>((request.empty() ? 0 : request[0]) + i);
        return reply;
    };
}

inline DeviceProfile profileFor(Framing framing) {
    return framing == Framing::U2f ? DeviceProfile{.usagePage = 0xF1D0, .framing = Framing::U2f} : DeviceProfile{};
}

// For suites instantiated over both framings.
inline std::string framingName(Framing framing) { return framing == Framing::U2f ? "U2f" : "Reports"; }
inline const auto kBothFramings = ::testing::Values(Framing::Reports, Framing::U2f);
inline std::string framingTestName(const ::testing::TestParamInfo<Framing>& info) { return framingName(info.param); }

class HidTest : public ::testing::Test {
protected:
    void TearDown() override { dravenholt::vhid::unplugAll(); }

    // A transport for the maker's device with this serial number (no IDs set).
    std::unique_ptr<HidTransport> openTransport(const std::string& serial = "0123456789AB", uint32_t timeoutMs = 1000) {
        auto transport = std::make_unique<HidTransport>();
        transport->setSerialNumber(serial.c_str());
        transport->open();
        transport->setTimeout(timeoutMs);
        return transport;
    }

    Bytes readAll(HidTransport& transport, size_t capacity = 4096) {
        Bytes buffer(capacity);
        buffer.resize(transport.read(buffer.data(), buffer.size()));
        return buffer;
    }

    void writeAll(HidTransport& transport, const Bytes& request) { transport.write(request.data(), request.size()); }
};

// The message of the DeviceError `action` throws; empty when it throws none.
template <typename F>
std::string thrownMessage(F&& action) {
    try {
        action();
    } catch (const dravenholt::DeviceError& e) {
        return e.what();
    }
    return "";
}

}  // namespace hidtest
