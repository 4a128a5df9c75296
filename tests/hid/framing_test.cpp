// Report and U2F framing as the device sees them, the report descriptor, and stale replies: one
// that comes too late, or the unread rest of one, is never taken as the reply to the next request
// once discardStale ran before it (as the device call does under the device lock).
#include <chrono>
#include <thread>

#include "hid_test_support.h"
#include "transport/hid_descriptor.h"

namespace hidtest {
namespace {

struct FramingCase {
    bool u2f;
    size_t reportSize;  // reports: the device's report length; U2F frames are always 65 bytes
    size_t requestLength;
    size_t expectedReports;
    size_t padding;  // bytes behind the request's last byte in the last report
};

struct Framed : HidTest, ::testing::WithParamInterface<FramingCase> {};

// Each request travels in the expected number of reports or frames, with zeros (reports) or
// 0xEE (frames) behind its last byte, and the device's echo comes back whole.
TEST_P(Framed, RequestTravelsInTheExpectedNumberOfReports) {
    const FramingCase c = GetParam();
    DeviceProfile profile = profileFor(c.u2f ? Framing::U2f : Framing::Reports);
    if (!c.u2f) profile.reportSize = c.reportSize;
    auto device = plugIn(profile, echo);
    auto transport = openTransport();
    ASSERT_EQ(transport->channel() != HidTransport::kReportFraming, c.u2f);
    size_t before = device->writtenReports().size();

    Bytes request = sized(c.requestLength)({1});
    EXPECT_EQ(transport->write(request.data(), request.size()), c.requestLength);
    ASSERT_TRUE(device->waitForRequests(1, 2s));
    std::vector<Bytes> reports = device->writtenReports();
    reports.erase(reports.begin(), reports.begin() + long(before));
    ASSERT_EQ(reports.size(), c.expectedReports);
    if (!c.u2f) {
        for (size_t i = 0; i < reports.size(); ++i) EXPECT_EQ(reports[i][1], i == 0 ? 0x00 : 0x01);
        EXPECT_EQ(reports[0][2] | reports[0][3] << 8 | reports[0][4] << 16, static_cast<int>(c.requestLength));
    }
    const Bytes& last = reports.back();
    ASSERT_EQ(last.size(), c.reportSize);
    EXPECT_EQ(Bytes(last.end() - long(c.padding), last.end()), Bytes(c.padding, c.u2f ? 0xEE : 0));
    EXPECT_EQ(device->requests().at(0), request);
    EXPECT_EQ(readAll(*transport), echo(request));
}

INSTANTIATE_TEST_SUITE_P(Sizes, Framed,
                         ::testing::Values(FramingCase{false, 65, 60, 1, 0}, FramingCase{false, 65, 61, 2, 62},
                                           FramingCase{false, 65, 123, 2, 0}, FramingCase{false, 65, 124, 3, 62},
                                           FramingCase{false, 65, 2048, 1 + 32, 28}, FramingCase{false, 33, 28, 1, 0},
                                           FramingCase{false, 33, 29, 2, 30}, FramingCase{false, 33, 2048, 1 + 66, 26},
                                           FramingCase{true, 65, 0, 1, 57}, FramingCase{true, 65, 57, 1, 0},
                                           FramingCase{true, 65, 58, 2, 58}, FramingCase{true, 65, 117, 3, 58},
                                           FramingCase{true, 65, 2048, 1 + 34, 15}),
                         [](const auto& info) {
                             return std::string(info.param.u2f ? "U2f" : "Reports") + std::to_string(info.param.reportSize) +
                                    "_" + std::to_string(info.param.requestLength);
                         });

TEST_F(HidTest, ReplyAnnouncingNoBytesEndsAtOnce) {
    plugIn({}, [](const Bytes&) { return Bytes{}; });
    auto transport = openTransport("0123456789AB", 5000);
    writeAll(*transport, {1});
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(readAll(*transport).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

// A further report whose first came in an earlier read is out of order. (The fault table has the
// wrong report IDs and packet types.)
TEST_F(HidTest, FurtherReportWithoutItsFirstIsRejected) {
    auto device = plugIn({}, echo);
    auto transport = openTransport();
    writeAll(*transport, {1});
    ASSERT_EQ(readAll(*transport), echo({1}));
    Bytes further = {0x02, 0x01};
    further.resize(65);
    device->inject(further);
    EXPECT_EQ(thrownMessage([&] { readAll(*transport); }), "Invalid HID packet received (out of order)");
}

TEST_F(HidTest, OversizedRequestsAreRefusedBeforeAnythingIsSent) {
    auto u2f = plugIn(profileFor(Framing::U2f), echo);
    auto transport = openTransport();
    size_t before = u2f->writtenReports().size();
    Bytes request(7610);
    EXPECT_EQ(thrownMessage([&] { writeAll(*transport, request); }), "Request too long");
    request.resize(7609);
    writeAll(*transport, request);
    ASSERT_TRUE(u2f->waitForRequests(1, 2s));
    EXPECT_EQ(u2f->writtenReports().size() - before, 1u + 128u);
    EXPECT_EQ(u2f->requests().at(0), request);
}

TEST_F(HidTest, HandshakeIgnoresWrongNoncesAndOtherChannels) {
    auto device = plugIn(profileFor(Framing::U2f), echo);
    device->setFaults({.wrongNonceAnswers = 3, .otherChannelFrames = true});
    auto transport = openTransport();
    ASSERT_EQ(device->allocatedChannels().size(), 1u);
    EXPECT_EQ(transport->channel(), device->allocatedChannels()[0]);
    writeAll(*transport, bytes("hello"));
    EXPECT_EQ(readAll(*transport), echo(bytes("hello")));
}

// A device that refuses the handshake's frame, or takes and ignores it, keeps report framing; one
// without a report descriptor gets the fallback report length.
TEST_F(HidTest, DevicesWithoutU2fOrADescriptorKeepReportFraming) {
    plugIn({.serial = L"000000000001"}, echo);
    plugIn({.serial = L"000000000002", .refusesForeignReports = false}, echo);
    plugIn({.serial = L"000000000003", .describesReports = false}, echo);
    for (const char* serial : {"000000000001", "000000000002", "000000000003"}) {
        auto transport = openTransport(serial);
        EXPECT_EQ(transport->channel(), HidTransport::kReportFraming);
        writeAll(*transport, sized(200)({1}));
        EXPECT_EQ(readAll(*transport), echo(sized(200)({1})));
    }
    EXPECT_EQ(openTransport("000000000003")->reportLength(), dravenholt::kFallbackReportLength);
}

// Descriptors from the device: the longest input report with its ID byte; nothing from a
// malformed or useless one, and a saturated length (refused later) from absurd sizes.
TEST(ReportDescriptor, LengthOfTheLongestInputReport) {
    const std::pair<Bytes, std::optional<size_t>> cases[] = {
        // Report 1: 8 x 8 bits in; report 2: 32 x 8 in, 100 x 8 out; report 3: 10 x 16 bits in.
        {{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x85, 0x01, 0x95, 0x08, 0x81, 0x02, 0x85, 0x02, 0x95,
          0x20, 0x81, 0x02, 0x95, 0x64, 0x91, 0x02, 0x85, 0x03, 0x75, 0x10, 0x95, 0x0A, 0x81, 0x02, 0xC0},
         33},
        {{0x75, 0x08, 0x96, 0x40, 0x00, 0x81, 0x02}, 65},  // without report IDs
        {{0x75, 0x01, 0x95, 0x03, 0x81, 0x02, 0x75, 0x08, 0x95, 0x02, 0x81, 0x02}, 4},
        {{0x75, 0x08, 0x95, 0x10, 0xA4, 0x95, 0x40, 0x91, 0x02, 0xB4, 0x81, 0x02}, 17},  // push, pop
        {{0xFE, 0x02, 0x00, 0x81, 0x02, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02}, 5},         // long item skipped
        {{0xB4, 0x81, 0x02}, std::nullopt},                                             // pop without push
        {{}, std::nullopt},
        {{0x75, 0x08, 0x95, 0x40, 0x91, 0x02}, std::nullopt},  // output only
        {{0x75, 0x08, 0x96, 0x40}, std::nullopt},              // item cut short
        {{0xFE, 0x05, 0x00, 0x01}, std::nullopt},              // long item cut short
    };
    for (const auto& [descriptor, length] : cases)
        EXPECT_EQ(dravenholt::inputReportLength(descriptor.data(), descriptor.size()), length) << descriptor.size();
    EXPECT_EQ(dravenholt::inputReportLength(nullptr, 10), std::nullopt);
    Bytes absurd{0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02, 0x81, 0x02, 0x81, 0x02};
    EXPECT_GT(dravenholt::inputReportLength(absurd.data(), absurd.size()).value_or(0), dravenholt::kMaxReportLength);
}

struct StaleReplyTest : HidTest, ::testing::WithParamInterface<Framing> {
    bool u2f() const { return GetParam() == Framing::U2f; }
    Bytes exchange(HidTransport& transport, const Bytes& request) {
        transport.discardStale();
        writeAll(transport, request);
        return readAll(transport);
    }
};

TEST_P(StaleReplyTest, LateReplyIsNotTakenForTheNextOne) {
    auto device = plugIn(profileFor(GetParam()), echo);
    auto transport = openTransport("0123456789AB", 150);
    device->setFaults({.replyDelay = 400ms});
    EXPECT_TRUE(exchange(*transport, bytes("first")).empty());
    std::this_thread::sleep_for(700ms);  // the late reply is waiting now
    device->setFaults({});
    EXPECT_EQ(exchange(*transport, bytes("second")), echo(bytes("second")));
}

TEST_P(StaleReplyTest, RestOfAnIncompleteReplyIsDropped) {
    auto device = plugIn(profileFor(GetParam()), sized(400));
    auto transport = openTransport("0123456789AB", 150);
    device->setFaults({.replyPieces = 2});
    // Report framing hands out what arrived (60 + 63 bytes); U2F framing drops a reply it
    // could not complete.
    EXPECT_EQ(exchange(*transport, {1}).size(), u2f() ? 0u : 123u);
    // The rest of that reply straggles in: a continuation frame of the channel, or report.
    uint32_t channel = transport->channel();
    Bytes rest = u2f() ? Bytes{uint8_t(channel >> 24), uint8_t(channel >> 16), uint8_t(channel >> 8), uint8_t(channel), 1}
                       : Bytes{0x02, 0x01};
    rest.resize(u2f() ? 64 : 65, 0xAA);
    device->inject(rest);
    std::this_thread::sleep_for(50ms);
    device->setFaults({});
    EXPECT_EQ(exchange(*transport, {2}), sized(400)({2}));
}

TEST_P(StaleReplyTest, UnreadRestOfAReplyIsDropped) {
    plugIn(profileFor(GetParam()), sized(400));
    auto transport = openTransport();
    transport->discardStale();
    writeAll(*transport, {1});
    EXPECT_EQ(readAll(*transport, 100).size(), 100u);
    EXPECT_EQ(exchange(*transport, {2}), sized(400)({2}));
}

INSTANTIATE_TEST_SUITE_P(Framings, StaleReplyTest, kBothFramings, framingTestName);

}  // namespace
}  // namespace hidtest
