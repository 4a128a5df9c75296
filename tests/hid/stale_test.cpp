// A reply that comes too late, or the unread rest of one, is never taken as the reply to the
// next request once discardStale ran before it (as the device call does under the device lock).
#include <thread>

#include "hid_test_support.h"

namespace hidtest {
namespace {

class StaleReplyTest : public HidTest, public ::testing::WithParamInterface<Framing> {
protected:
    DeviceProfile profile() const { return GetParam() == Framing::U2f ? u2fProfile() : DeviceProfile{}; }

    Bytes exchange(HidTransport& transport, const Bytes& request) {
        transport.discardStale();
        writeAll(transport, request);
        return readAll(transport);
    }
};

TEST_P(StaleReplyTest, LateReplyIsNotTakenForTheNextOne) {
    auto device = dravenholt::vhid::plugIn(profile(), echo);
    auto transport = openTransport("0123456789AB", 150);
    device->setFaults({.replyDelay = 400ms});
    EXPECT_TRUE(exchange(*transport, bytes("first")).empty());
    std::this_thread::sleep_for(700ms);  // the late reply is waiting now
    device->setFaults({});
    EXPECT_EQ(exchange(*transport, bytes("second")), echo(bytes("second")));
}

TEST_P(StaleReplyTest, RestOfAnIncompleteReplyIsDropped) {
    auto device = dravenholt::vhid::plugIn(profile(), sized(400));
    auto transport = openTransport("0123456789AB", 150);
    device->setFaults({.replyPieces = 2});
    // Report framing hands out what arrived (60 + 63 bytes); U2F framing drops a reply it
    // could not complete.
    EXPECT_EQ(exchange(*transport, {1}).size(), GetParam() == Framing::U2f ? 0u : 123u);
    // The rest of that reply straggles in.
    Bytes rest;
    if (GetParam() == Framing::U2f) {
        uint32_t channel = transport->channel();
        rest = {uint8_t(channel >> 24), uint8_t(channel >> 16), uint8_t(channel >> 8), uint8_t(channel), 0x01};
        rest.resize(64, 0xAA);
    } else {
        rest = {0x02, 0x01};
        rest.resize(65, 0xAA);
    }
    device->inject(rest);
    std::this_thread::sleep_for(50ms);
    device->setFaults({});
    EXPECT_EQ(exchange(*transport, {2}), sized(400)({2}));
}

TEST_P(StaleReplyTest, UnreadRestOfAReplyIsDropped) {
    auto device = dravenholt::vhid::plugIn(profile(), sized(400));
    auto transport = openTransport("0123456789AB");
    transport->discardStale();
    writeAll(*transport, {1});
    EXPECT_EQ(readAll(*transport, 100).size(), 100u);
    EXPECT_EQ(exchange(*transport, {2}), sized(400)({2}));
}

TEST_P(StaleReplyTest, RepliesToAnotherHandleAreDropped) {
    // hidraw hands every input report to every open handle, as to every process.
    auto device = dravenholt::vhid::plugIn(profile(), echo);
    auto idle = openTransport("0123456789AB");
    auto busy = openTransport("0123456789AB");
    EXPECT_EQ(exchange(*busy, bytes("busy")), echo(bytes("busy")));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(exchange(*idle, bytes("idle")), echo(bytes("idle")));
}

INSTANTIATE_TEST_SUITE_P(Framings, StaleReplyTest, ::testing::Values(Framing::Reports, Framing::U2f),
                         [](const auto& info) { return info.param == Framing::U2f ? "U2f" : "Reports"; });

}  // namespace
}  // namespace hidtest
