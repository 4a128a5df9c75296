// Every failure of the HID transport surfaces as a DeviceError with its own message.
#include "hid_test_support.h"

namespace hidtest {
namespace {

TEST_F(HidTest, ClosedTransportHasNullHandle) {
    HidTransport transport;
    uint8_t buffer[16];
    EXPECT_EQ(thrownMessage([&] { transport.read(buffer, sizeof buffer); }), "Null handle");
    EXPECT_EQ(thrownMessage([&] { transport.write(buffer, sizeof buffer); }), "Null handle");
    EXPECT_EQ(thrownMessage([&] { transport.write(std::string("abc")); }), "Null handle");
}

TEST_F(HidTest, OpenWithoutMatchingDeviceIsNotDetected) {
    EXPECT_EQ(thrownMessage([&] { openTransport("0123456789AB"); }), "Device not detected");
    dravenholt::vhid::plugIn({.serial = L"AAAAAAAAAAAA"}, echo);
    EXPECT_EQ(thrownMessage([&] { openTransport("0123456789AB"); }), "Device not detected");
}

TEST_F(HidTest, DeviceThatCannotBeOpenedFailsToConnect) {
    auto device = dravenholt::vhid::plugIn({}, echo);
    device->setFaults({.refuseOpen = true});
    HidTransport transport;
    transport.setSerialNumber("0123456789AB");
    EXPECT_EQ(thrownMessage([&] { transport.open(); }), "Unable to connect to device");
    EXPECT_FALSE(transport.isOpen());
}

TEST_F(HidTest, ReplyReportsWithAnotherIdOrPacketTypeAreRejected) {
    const std::pair<Faults, const char*> cases[] = {
        {{.replyReportId = 0x01}, "Invalid HID report id received"},
        {{.replyReportId = 0x03}, "Invalid HID report id received"},
        {{.firstPacketType = 0x02}, "Invalid HID packet id received"},
    };
    for (const auto& [faults, message] : cases) {
        auto device = dravenholt::vhid::plugIn({}, echo);
        device->setFaults(faults);
        auto transport = openTransport("0123456789AB");
        writeAll(*transport, {1, 2, 3});
        EXPECT_EQ(thrownMessage([&] { readAll(*transport); }), message);
        dravenholt::vhid::unplugAll();
    }
}

TEST_F(HidTest, FurtherReportWithoutFirstIsOutOfOrder) {
    auto device = dravenholt::vhid::plugIn({}, echo);
    auto transport = openTransport("0123456789AB");
    writeAll(*transport, {1});
    ASSERT_EQ(readAll(*transport), echo({1}));
    // A first report in an earlier read does not count.
    Bytes further(65, 0);
    further[0] = 0x02;
    further[1] = 0x01;
    device->inject(further);
    EXPECT_EQ(thrownMessage([&] { readAll(*transport); }), "Invalid HID packet received (out of order)");
}

TEST_F(HidTest, BytesReceivedBeforeAFailureStayQueued) {
    auto device = dravenholt::vhid::plugIn({}, sized(100));
    auto transport = openTransport("0123456789AB");
    device->setFaults({.replyPieces = 1});
    writeAll(*transport, {1});
    ASSERT_TRUE(device->waitForRequests(1, 1s));
    device->inject(Bytes(65, 0x03), 100ms);
    EXPECT_EQ(thrownMessage([&] { readAll(*transport); }), "Invalid HID report id received");
    EXPECT_EQ(transport->queued(), 60u);
}

TEST_F(HidTest, ReadErrorCarriesHidapisText) {
    auto device = dravenholt::vhid::plugIn({}, echo);
    auto transport = openTransport("0123456789AB");
    dravenholt::vhid::unplug(device);
    EXPECT_EQ(thrownMessage([&] { readAll(*transport); }), "virtual device unplugged");
}

// hidapi's text when it has one; a fallback of each framing's own when it has none.
TEST_F(HidTest, WriteErrorCarriesHidapisTextOrAFallback) {
    for (const auto& [profile, fallback] : {std::pair{DeviceProfile{}, "HID write failed."}, {u2fProfile(), "null"}}) {
        auto device = dravenholt::vhid::plugIn(profile, echo);
        auto transport = openTransport("0123456789AB");
        device->setFaults({.failWrites = true, .writeError = L"pipe stalled"});
        EXPECT_EQ(thrownMessage([&] { writeAll(*transport, {1}); }), "pipe stalled");
        device->setFaults({.failWrites = true, .writeError = std::nullopt});
        EXPECT_EQ(thrownMessage([&] { writeAll(*transport, {1}); }), fallback);
        dravenholt::vhid::unplugAll();
    }
}

TEST_F(HidTest, OversizedRequestsAreRefusedBeforeAnythingIsSent) {
    auto u2f = dravenholt::vhid::plugIn(u2fProfile(L"U2F000000000"), echo);
    auto transport = openTransport("U2F000000000");
    size_t before = u2f->writtenReports().size();
    Bytes request(7610);
    EXPECT_EQ(thrownMessage([&] { writeAll(*transport, request); }), "Request too long");
    request.resize(7609);
    writeAll(*transport, request);
    ASSERT_TRUE(u2f->waitForRequests(1, 2s));
    EXPECT_EQ(u2f->writtenReports().size() - before, 1u + 128u);
    EXPECT_EQ(u2f->requests().at(0), request);
}

}  // namespace
}  // namespace hidtest
