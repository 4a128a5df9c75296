// The raw port exports: their results and their lines on the standard error stream.
#include "hid_test_support.h"
#include "orvo/raw_port.h"

namespace hidtest {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

// No export releases a port (a closed one stays valid); the tests release theirs.
struct PortRelease {
    void operator()(void* port) const { delete static_cast<dravenholt::Transport*>(port); }
};
using Port = std::unique_ptr<void, PortRelease>;

TEST_F(HidTest, OpenPortFailuresArePrinted) {
    auto device = dravenholt::vhid::plugIn({}, echo);
    CaptureStderr();
    EXPECT_EQ(pOpenPort(0, 0, 1000, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "Error opening port: Device not detected\n");
    device->setFaults({.refuseOpen = true});
    CaptureStderr();
    EXPECT_EQ(pOpenPort(0x0483, 0xA2AC, 1000, nullptr, "0123456789AB"), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "Error opening port: Unable to connect to device\n");
}

TEST_F(HidTest, PortExchangesBytesAndKeepsTheRestOfAReply) {
    auto device = dravenholt::vhid::plugIn({.product = L"Tarnix"}, sized(150));
    Port owner(pOpenPort(0, 0, 1000, "Tarnix", nullptr));
    void* port = owner.get();
    ASSERT_NE(port, nullptr);
    const uint8_t request[] = {3, 4};
    EXPECT_TRUE(bWrite(port, request, sizeof request));
    Bytes reply(150);
    uint32_t length = 50;
    EXPECT_TRUE(bRead(port, reply.data(), &length));
    EXPECT_EQ(length, 50u);
    length = 0;
    EXPECT_TRUE(bRead(port, reply.data() + 50, &length));
    EXPECT_EQ(length, 0u);
    length = 100;
    EXPECT_TRUE(bRead(port, reply.data() + 50, &length));
    EXPECT_EQ(length, 100u);
    EXPECT_EQ(reply, sized(150)({3}));
    vClosePort(port);
}

TEST_F(HidTest, ClosedOrMissingPortFailsCleanly) {
    auto device = dravenholt::vhid::plugIn({}, sized(100));
    Port owner(pOpenPort(0x0483, 0xA2AC, 1000, nullptr, nullptr));
    void* port = owner.get();
    ASSERT_NE(port, nullptr);
    const uint8_t request[] = {1};
    ASSERT_TRUE(bWrite(port, request, 1));
    uint8_t buffer[100];
    uint32_t length = 40;
    ASSERT_TRUE(bRead(port, buffer, &length));
    vClosePort(port);

    CaptureStderr();
    EXPECT_FALSE(bWrite(port, request, 1));
    EXPECT_EQ(GetCapturedStderr(), "Error writing to port Null handle\n");
    // What the queue holds is still handed out; beyond it the closed handle shows.
    length = 60;
    EXPECT_TRUE(bRead(port, buffer, &length));
    EXPECT_EQ(length, 60u);
    CaptureStderr();
    length = 10;
    EXPECT_FALSE(bRead(port, buffer, &length));
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(GetCapturedStderr(), "Error reading from portNull handle\n");
    vClosePort(port);
    // No port at all.
    length = 4;
    EXPECT_FALSE(bWrite(nullptr, buffer, 4));
    EXPECT_FALSE(bRead(nullptr, buffer, &length));
    EXPECT_EQ(length, 4u);
    vClosePort(nullptr);
}

}  // namespace
}  // namespace hidtest
