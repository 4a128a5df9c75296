// The report length a transport learns from the device's report descriptor.
#include "hid_test_support.h"
#include "transport/hid_descriptor.h"

namespace hidtest {
namespace {

using dravenholt::inputReportLength;

std::optional<size_t> lengthOf(const Bytes& descriptor) {
    return inputReportLength(descriptor.data(), descriptor.size());
}

TEST(ReportDescriptor, LongestInputReportCountsWithItsIdByte) {
    // Report 1: 8 x 8 bits in; report 2: 32 x 8 bits in, 100 x 8 bits out; report 3: 10 x 16 bits in.
    Bytes descriptor{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08,
                     0x85, 0x01, 0x95, 0x08, 0x81, 0x02,
                     0x85, 0x02, 0x95, 0x20, 0x81, 0x02, 0x95, 0x64, 0x91, 0x02,
                     0x85, 0x03, 0x75, 0x10, 0x95, 0x0A, 0x81, 0x02, 0xC0};
    EXPECT_EQ(lengthOf(descriptor), 33u);
    // Without report IDs the length still counts one byte for it.
    EXPECT_EQ(lengthOf({0x75, 0x08, 0x96, 0x40, 0x00, 0x81, 0x02}), 65u);
    // Bits round up to bytes, and inputs of one report add up.
    EXPECT_EQ(lengthOf({0x75, 0x01, 0x95, 0x03, 0x81, 0x02, 0x75, 0x08, 0x95, 0x02, 0x81, 0x02}), 4u);
}

TEST(ReportDescriptor, PushAndPopRestoreTheGlobalState) {
    EXPECT_EQ(lengthOf({0x75, 0x08, 0x95, 0x10, 0xA4, 0x95, 0x40, 0x91, 0x02, 0xB4, 0x81, 0x02}), 17u);
    EXPECT_EQ(lengthOf({0xB4, 0x81, 0x02}), std::nullopt);  // pop without push
}

TEST(ReportDescriptor, MalformedOrUselessDescriptorsGiveNothing) {
    EXPECT_EQ(lengthOf({}), std::nullopt);
    EXPECT_EQ(lengthOf({0x75, 0x08, 0x95, 0x40, 0x91, 0x02}), std::nullopt);  // output only
    EXPECT_EQ(lengthOf({0x75, 0x08, 0x96, 0x40}), std::nullopt);              // item cut short
    EXPECT_EQ(lengthOf({0xFE, 0x05, 0x00, 0x01}), std::nullopt);              // long item cut short
    EXPECT_EQ(inputReportLength(nullptr, 10), std::nullopt);
    // A long item is skipped whole.
    EXPECT_EQ(lengthOf({0xFE, 0x02, 0x00, 0x81, 0x02, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02}), 5u);
}

TEST(ReportDescriptor, AbsurdSizesSaturate) {
    auto length = lengthOf({0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02,
                            0x81, 0x02, 0x81, 0x02});
    ASSERT_TRUE(length);
    EXPECT_GT(*length, dravenholt::kMaxReportLength);
}

TEST_F(HidTest, DeviceWithoutDescriptorGetsTheFallbackLength) {
    dravenholt::vhid::plugIn({.describesReports = false}, echo);
    auto transport = openTransport("0123456789AB");
    EXPECT_EQ(transport->reportLength(), dravenholt::kFallbackReportLength);
    writeAll(*transport, pattern(200));
    EXPECT_EQ(readAll(*transport), echo(pattern(200)));
}

}  // namespace
}  // namespace hidtest
