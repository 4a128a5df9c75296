// The U2F channel handshake and U2F replies, including the misbehaving ones.
#include "hid_test_support.h"

namespace hidtest {
namespace {

using dravenholt::kDebug;

TEST_F(HidTest, HandshakeIgnoresWrongNoncesAndOtherChannels) {
    auto device = dravenholt::vhid::plugIn(u2fProfile(), echo);
    device->setFaults({.wrongNonceAnswers = 3, .otherChannelFrames = true});
    auto transport = openTransport("0123456789AB");
    ASSERT_EQ(device->allocatedChannels().size(), 1u);
    EXPECT_EQ(transport->channel(), device->allocatedChannels()[0]);
    EXPECT_TRUE(log.has(kDebug, "u2f transport detected"));
    writeAll(*transport, bytes("hello"));
    EXPECT_EQ(readAll(*transport), echo(bytes("hello")));
}

TEST_F(HidTest, DeviceWithoutU2fKeepsReportFraming) {
    // One device refuses the handshake's frame: the handshake ends at once and logs nothing.
    // The other takes and ignores it: the handshake waits out one receive.
    dravenholt::vhid::plugIn({.serial = L"000000000001"}, echo);
    dravenholt::vhid::plugIn({.serial = L"000000000002", .refusesForeignReports = false}, echo);
    auto refusing = openTransport("000000000001");
    EXPECT_EQ(refusing->channel(), HidTransport::kReportFraming);
    EXPECT_EQ(log.count("hid transport received timeout"), 0u);
    auto ignoring = openTransport("000000000002");
    EXPECT_EQ(ignoring->channel(), HidTransport::kReportFraming);
    EXPECT_EQ(log.count("hid transport received timeout"), 1u);
    EXPECT_FALSE(log.has(kDebug, "u2f transport detected"));
    for (auto* transport : {refusing.get(), ignoring.get()}) {
        writeAll(*transport, bytes("hello"));
        EXPECT_EQ(readAll(*transport), echo(bytes("hello")));
    }
}

TEST_F(HidTest, HandshakeThatCannotBeWrittenLogsNothing) {
    auto device = dravenholt::vhid::plugIn(u2fProfile(), echo);
    device->setFaults({.failWrites = true});
    auto transport = openTransport("0123456789AB");
    EXPECT_EQ(transport->channel(), HidTransport::kReportFraming);
    EXPECT_TRUE(log.lines.size() == 1 && log.lines[0].second.rfind("Opening device ", 0) == 0);
}

TEST_F(HidTest, TwoHandlesOnOneDeviceUseTheirOwnChannels) {
    auto device = dravenholt::vhid::plugIn(u2fProfile(), echo);
    auto a = openTransport("0123456789AB");
    auto b = openTransport("0123456789AB");
    ASSERT_NE(a->channel(), b->channel());
    // Both handles receive every frame; each takes only its own channel's reply.
    writeAll(*a, bytes("from a"));
    writeAll(*b, bytes("from b"));
    EXPECT_EQ(readAll(*b), echo(bytes("from b")));
    EXPECT_EQ(readAll(*a), echo(bytes("from a")));
}

}  // namespace
}  // namespace hidtest
