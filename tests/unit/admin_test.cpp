// Administration calls against scripted devices: what they refuse before sending, the storage
// transfer in pieces and the device answers that must not keep it going (calls from threads:
// SessionThreads). The commands over a simulated token are exercised in tests/tools and tests/e2e.
#include "orvo/admin.h"
#include "unit/device_fixture.h"

using namespace orvotest;
using AdminTest = DeviceTest;

TEST_F(AdminTest, ArgumentsAreCheckedBeforeAnythingIsSentOrConverted) {
    uint32_t session = static_cast<uint32_t>(open(0, 1));
    uint32_t path[1] = {0x80000000u};
    uint8_t out[8], hash[32] = {}, record[8] = {1, 7};
    uint64_t length = sizeof out, zero = 0;
    const std::pair<uint32_t, uint32_t> cases[] = {
        {u32GetBitcoinPub(session, nullptr, 1, out, &length), CKR_ARGUMENTS_BAD},
        {u32GetBitcoinPub(session, path, 1, nullptr, &length), CKR_ARGUMENTS_BAD},
        {u32GetBitcoinPub(session, path, 1, out, &zero), CKR_ARGUMENTS_BAD},
        {u32GetBitcoinPub(session, path, 1u << 20, out, &length), CKR_DATA_LEN_RANGE},
        {u32GetBitcoinPub(session + 9, path, 1, out, &length), CKR_SESSION_HANDLE_INVALID},
        {u32SignBitcoinHash(session, hash, 0, path, 1, out, &length), CKR_ARGUMENTS_BAD},
        {u32SignBitcoinHash(session, hash, 32, path, 1, out, &zero), CKR_ARGUMENTS_BAD},
        {u32ImportBitcoinKey(session, nullptr, 32), CKR_ARGUMENTS_BAD},
        {u32ImportBitcoinKey(session, hash, 0x100000000ULL), CKR_DATA_LEN_RANGE},
        {u32HasBitcoinKey(session + 100, nullptr), CKR_SESSION_HANDLE_INVALID},
        {u32GetTokenConfig(0, nullptr), CKR_ARGUMENTS_BAD},
        {u32GetTokenConfig(0, record), CKR_ARGUMENTS_BAD},  // a record of another size
        {u32BackupStorage(2, out, &length), CKR_SLOT_ID_INVALID},
        {u32BackupStorage(0, nullptr, &length), CKR_ARGUMENTS_BAD},
        {u32BackupStorage(0, out, &zero), CKR_ARGUMENTS_BAD},
        {u32RestoreStorage(5, nullptr, 0), CKR_SLOT_ID_INVALID},
        {u32RestoreStorage(1, out, 0), CKR_ARGUMENTS_BAD},
        // A length the wire cannot carry would reach the device as a different total.
        {u32RestoreStorage(1, out, 0x100000004ULL), CKR_DATA_LEN_RANGE},
        {bReadLogEntries(0, nullptr, nullptr), false},
        {bReadLogEntries(0, nullptr, &length), false},  // no buffer for a capacity
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
    EXPECT_EQ(path[0], 0x80000000u);  // nothing sent, nothing converted
    EXPECT_TRUE(a->calls().empty());
    EXPECT_TRUE(b->calls().empty());
    a->answer(answer(CKR_OK, pattern(9)));  // longer than the output
    EXPECT_EQ(u32GetBitcoinPub(session, path, 1, out, &length), CKR_FUNCTION_FAILED);
    EXPECT_EQ(length, sizeof out);
}

TEST_F(AdminTest, BackupCollectsPiecesAndStopsAtWhatCannotFinish) {
    Bytes image = pattern(3000);
    a->answer(answer(CKR_OPERATION_ACTIVE, Bytes(image.begin(), image.begin() + 1200), 41));
    a->answer(answer(CKR_OK, Bytes(image.begin() + 1200, image.end())));
    CallerBuffer buffer(5000);
    uint64_t length = 0x100000000ULL + 5000;  // sent as the largest capacity, not cut to its low bits
    ASSERT_EQ(u32BackupStorage(0, buffer.data(), &length), CKR_OK);
    EXPECT_EQ(length, 3000u);
    EXPECT_EQ(buffer.content(3000), image);
    EXPECT_TRUE(buffer.untouched(3000));
    auto sent = a->calls();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].length, 0xFFFFFFFFu);
    EXPECT_EQ(sent[1].handle, 41u);

    // A piece beyond the room left, and a device that keeps promising more without sending any.
    Bytes small(64);
    a->answer(answer(CKR_OPERATION_ACTIVE, pattern(40)));
    a->answer(answer(CKR_OPERATION_ACTIVE, pattern(40)));
    length = small.size();
    EXPECT_EQ(u32BackupStorage(0, small.data(), &length), CKR_FUNCTION_FAILED);
    EXPECT_EQ(length, 40u);
    a->fallback = answer(CKR_OPERATION_ACTIVE, Bytes{});
    length = small.size();
    EXPECT_EQ(u32BackupStorage(0, small.data(), &length), CKR_FUNCTION_FAILED);
    EXPECT_EQ(length, 0u);
}

TEST_F(AdminTest, ReadLogReportsTheBytesReceivedOrTheLengthNeeded) {
    CallerBuffer buffer(100);
    uint64_t length = 100;
    a->answer(answer(CKR_OK, pattern(101)));  // more than the buffer holds
    EXPECT_FALSE(bReadLogEntries(0, buffer.data(), &length));
    EXPECT_EQ(length, 100u);
    EXPECT_TRUE(buffer.untouched());
    a->answer(answer(CKR_BUFFER_TOO_SMALL, std::nullopt, std::nullopt, 512));
    length = 0;
    EXPECT_FALSE(bReadLogEntries(0, nullptr, &length));
    EXPECT_EQ(length, 512u);
}
