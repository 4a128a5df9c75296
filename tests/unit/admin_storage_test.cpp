// Backup and restore of the storage image in pieces, and factory reset, on the wire.
#include "orvo/admin.h"
#include "unit/device_fixture.h"

using namespace orvotest;

TEST_F(AdminTest, BackupCollectsPiecesWithTheContinuationValue) {
    Bytes image = pattern(3000);
    a->answer(answer(CKR_OPERATION_ACTIVE, Bytes(image.begin(), image.begin() + 1200), 41));
    a->answer(answer(CKR_OPERATION_ACTIVE, Bytes(image.begin() + 1200, image.begin() + 2400), 42));
    a->answer(answer(CKR_OK, Bytes(image.begin() + 2400, image.end())));
    CallerBuffer buffer(5000);
    uint64_t length = 5000;
    ASSERT_EQ(u32BackupStorage(0, buffer.data(), &length), CKR_OK);
    EXPECT_EQ(length, 3000u);
    EXPECT_EQ(buffer.content(3000), image);
    EXPECT_TRUE(buffer.untouched(3000));
    auto sent = a->calls();
    ASSERT_EQ(sent.size(), 3u);
    for (const Request& r : sent) {
        EXPECT_EQ(r.function, 59u);
        EXPECT_EQ(r.length, 5000u);
        EXPECT_FALSE(r.session.has_value());
    }
    EXPECT_FALSE(sent[0].handle.has_value());
    EXPECT_EQ(sent[1].handle, 41u);
    EXPECT_EQ(sent[2].handle, 42u);
    EXPECT_TRUE(b->calls().empty());
}

TEST_F(AdminTest, BackupSinglePieceAndFailures) {
    a->answer(answer(CKR_OK, pattern(10)));
    Bytes buffer(64);
    uint64_t length = buffer.size();
    ASSERT_EQ(u32BackupStorage(0, buffer.data(), &length), CKR_OK);
    EXPECT_EQ(length, 10u);

    // A piece larger than the room left fails; the bytes before it are reported.
    a->answer(answer(CKR_OPERATION_ACTIVE, pattern(40)));
    a->answer(answer(CKR_OPERATION_ACTIVE, pattern(40)));
    length = buffer.size();
    EXPECT_EQ(u32BackupStorage(0, buffer.data(), &length), CKR_FUNCTION_FAILED);
    EXPECT_EQ(length, 40u);

    // A device error ends the transfer without adding its piece.
    a->answer(answer(CKR_OPERATION_ACTIVE, pattern(5), 1));
    a->answer(answer(CKR_DEVICE_ERROR, pattern(5)));
    length = buffer.size();
    EXPECT_EQ(u32BackupStorage(0, buffer.data(), &length), CKR_DEVICE_ERROR);
    EXPECT_EQ(length, 5u);

    // A device that keeps promising more without sending any would never finish.
    a->fallback = answer(CKR_OPERATION_ACTIVE, Bytes{});
    length = buffer.size();
    EXPECT_EQ(u32BackupStorage(0, buffer.data(), &length), CKR_FUNCTION_FAILED);
    EXPECT_EQ(length, 0u);
}

TEST_F(AdminTest, BackupArgumentChecks) {
    uint8_t buffer[8];
    uint64_t length = sizeof buffer, zero = 0;
    EXPECT_EQ(u32BackupStorage(2, buffer, &length), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(u32BackupStorage(2, nullptr, &length), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(u32BackupStorage(0, nullptr, &length), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(u32BackupStorage(0, buffer, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(u32BackupStorage(0, buffer, &zero), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(a->calls().empty());
    // A capacity beyond 32 bits is sent as the largest, not cut to its low bits.
    a->answer(answer(CKR_OK, pattern(4)));
    length = 0x100000004ULL;
    ASSERT_EQ(u32BackupStorage(0, buffer, &length), CKR_OK);
    EXPECT_EQ(a->lastCall().length, 0xFFFFFFFFu);
    EXPECT_EQ(length, 4u);
}

TEST_F(AdminTest, RestoreSendsPiecesOf1536WithOffsets) {
    Bytes image = pattern(4000, 3);
    a->answer(reply(CKR_OPERATION_ACTIVE));
    a->answer(reply(CKR_OPERATION_ACTIVE));
    a->answer(reply(CKR_OK));
    ASSERT_EQ(u32RestoreStorage(0, image.data(), image.size()), CKR_OK);
    auto sent = a->calls();
    ASSERT_EQ(sent.size(), 3u);
    const size_t sizes[] = {1536, 1536, 928};
    const uint32_t offsets[] = {1536, 3072, 4000};
    size_t at = 0;
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sent[i].function, 60u);
        EXPECT_EQ(sent[i].handle, 4000u);
        EXPECT_EQ(sent[i].handle2, offsets[i]);
        ASSERT_TRUE(sent[i].data.has_value());
        EXPECT_EQ(*sent[i].data, Bytes(image.begin() + at, image.begin() + at + sizes[i]));
        at += sizes[i];
    }
}

TEST_F(AdminTest, RestoreStopsAtTheDevicesAnswer) {
    Bytes image = pattern(4000);
    a->answer(reply(CKR_OK));  // the device needs no more
    EXPECT_EQ(u32RestoreStorage(0, image.data(), image.size()), CKR_OK);
    EXPECT_EQ(a->calls().size(), 1u);
    a->answer(reply(CKR_OPERATION_ACTIVE));
    a->answer(reply(CKR_DATA_INVALID));  // a refused image
    EXPECT_EQ(u32RestoreStorage(0, image.data(), image.size()), CKR_DATA_INVALID);
    EXPECT_EQ(a->calls().size(), 3u);
    a->fallback = reply(CKR_OPERATION_ACTIVE);  // still asking after the last piece
    EXPECT_EQ(u32RestoreStorage(0, image.data(), 100), CKR_OPERATION_ACTIVE);
    EXPECT_EQ(a->calls().size(), 4u);
}

TEST_F(AdminTest, RestoreArgumentChecks) {
    uint8_t image[4] = {1, 2, 3, 4};
    EXPECT_EQ(u32RestoreStorage(5, nullptr, 0), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(u32RestoreStorage(1, nullptr, 4), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(u32RestoreStorage(1, image, 0), CKR_ARGUMENTS_BAD);
    // A length the wire cannot carry would reach the device as a different total.
    EXPECT_EQ(u32RestoreStorage(1, image, 0x100000004ULL), CKR_DATA_LEN_RANGE);
    EXPECT_TRUE(b->calls().empty());
}

TEST_F(AdminTest, FactoryResetSendsOnlyTheIdentifier) {
    a->answer(reply(CKR_OK));
    ASSERT_EQ(u32FactoryReset(0), CKR_OK);
    EXPECT_EQ(a->rawRequests.back(), (Bytes{0x08, 57}));
    // No existence check: an unknown slot fails in the device call.
    EXPECT_EQ(u32FactoryReset(9), CKR_FUNCTION_FAILED);
    EXPECT_EQ(u32FactoryReset(0x80000000u), CKR_FUNCTION_FAILED);
    EXPECT_TRUE(logged("Port not found"));
}
