// The token configuration record and the device log, on the wire. The policy settings reach a
// simulated token through orvo-admin in tests/tools, which reads them back.
#include "orvo/admin.h"
#include "unit/device_fixture.h"

using namespace orvotest;

TEST_F(AdminTest, TokenConfigRecordIsCheckedAndFilled) {
    uint8_t record[8] = {1, 7, 0, 0, 0, 0xAA, 0, 0};
    EXPECT_EQ(u32GetTokenConfig(0, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(u32GetTokenConfig(0, record), CKR_ARGUMENTS_BAD);
    record[0] = 2;
    record[1] = 8;
    EXPECT_EQ(u32GetTokenConfig(0, record), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(a->calls().empty());

    record[0] = 1;
    Response r;
    r.config = TokenConfigMsg{true, 0x105, true, 6, false, 0, true, 0xBEEF1234};
    a->answer(reply(r));
    ASSERT_EQ(u32GetTokenConfig(0, record), CKR_OK);
    EXPECT_EQ(a->rawRequests.back(), (Bytes{0x08, 53}));
    const uint8_t expected[8] = {1, 8, 0x05, 6, 0, 0xAA, 0x34, 0x12};
    EXPECT_EQ(Bytes(record, record + 8), Bytes(expected, expected + 8));
    EXPECT_TRUE(logged("u32GetTokenConfig"));

    // Without field 9 the record stays as it was, and the device's code is the result.
    a->answer(reply(CKR_DEVICE_ERROR));
    EXPECT_EQ(u32GetTokenConfig(0, record), CKR_DEVICE_ERROR);
    EXPECT_EQ(Bytes(record, record + 8), Bytes(expected, expected + 8));
}

TEST_F(AdminTest, ReadLogReportsTheBytesReceived) {
    CallerBuffer buffer(100);
    uint64_t length = 100;
    a->answer(answer(CKR_OK, pattern(37)));
    ASSERT_TRUE(bReadLogEntries(0, buffer.data(), &length));
    EXPECT_EQ(length, 37u);
    EXPECT_EQ(buffer.content(37), pattern(37));
    EXPECT_TRUE(buffer.untouched(37));
    EXPECT_EQ(a->lastCall().function, 45u);
    EXPECT_EQ(a->lastCall().length, 100u);
    EXPECT_TRUE(logged("bReadLogEntries"));

    // An empty log is a success with no bytes.
    a->answer(reply(CKR_OK));
    length = 100;
    ASSERT_TRUE(bReadLogEntries(0, buffer.data(), &length));
    EXPECT_EQ(length, 0u);

    // More than the buffer holds fails the call.
    a->answer(answer(CKR_OK, pattern(101)));
    length = 100;
    EXPECT_FALSE(bReadLogEntries(0, buffer.data(), &length));
    EXPECT_EQ(length, 100u);
}

TEST_F(AdminTest, ReadLogSizeQuery) {
    uint64_t length = 0;
    a->answer(answer(CKR_BUFFER_TOO_SMALL, std::nullopt, std::nullopt, 512));
    EXPECT_FALSE(bReadLogEntries(0, nullptr, &length));
    EXPECT_EQ(a->lastCall().length, 0u);
    EXPECT_EQ(length, 512u);

    a->answer(reply(CKR_DEVICE_ERROR));  // failure without a length: unchanged
    EXPECT_FALSE(bReadLogEntries(0, nullptr, &length));
    EXPECT_EQ(length, 512u);

    size_t sent = a->calls().size();
    EXPECT_FALSE(bReadLogEntries(0, nullptr, &length));  // no buffer for a capacity
    EXPECT_FALSE(bReadLogEntries(0, nullptr, nullptr));
    EXPECT_FALSE(bReadLogEntries(4, nullptr, &(length = 0)));  // no such port
    EXPECT_EQ(a->calls().size(), sent);
}
