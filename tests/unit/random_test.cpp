// Random numbers in pieces of 1024 bytes, and seeding.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "protocol/function_ids.h"
#include "unit/device_fixture.h"

using namespace orvotest;
namespace fn = dravenholt::fn;

namespace {

class Random : public SessionTest {};

// Answers a piece with as many bytes as asked for, all equal to `fill`.
Answer randomBytes(uint8_t fill, int extra = 0) {
    return [fill, extra](const Request& request) {
        Response r;
        r.data = Bytes(request.length.value_or(0) + extra, fill);
        return encode(r);
    };
}

TEST_F(Random, PiecesOf1024LandAtTheirOffsets) {
    std::vector<uint8_t> buffer(2500, 0);
    device->answer(randomBytes(1));
    device->answer(randomBytes(2));
    device->answer(randomBytes(3));
    EXPECT_EQ(C_GenerateRandom(session, buffer.data(), buffer.size()), CKR_OK);
    auto r = sent();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].length, 1024u);
    EXPECT_EQ(r[1].length, 1024u);
    EXPECT_EQ(r[2].length, 452u);
    for (const Request& piece : r) EXPECT_EQ(piece.function, fn::GenerateRandom);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[1023], 1);
    EXPECT_EQ(buffer[1024], 2);
    EXPECT_EQ(buffer[2048], 3);
    EXPECT_EQ(buffer[2499], 3);

    // A failing piece ends the loop and keeps the earlier bytes.
    std::fill(buffer.begin(), buffer.end(), 0);
    device->answer(randomBytes(1));
    device->answer(reply(CKR_DEVICE_ERROR));
    EXPECT_EQ(C_GenerateRandom(session, buffer.data(), buffer.size()), CKR_DEVICE_ERROR);
    EXPECT_EQ(sent().size(), 5u);
    EXPECT_EQ(buffer[1023], 1);
    EXPECT_EQ(buffer[1024], 0);
}

TEST_F(Random, ShortOrMissingPieceFailsLongPieceFailsWithoutOverrun) {
    auto buffer = std::make_unique<uint8_t[]>(10);
    std::fill(buffer.get(), buffer.get() + 10, 0xEE);
    device->answer(output(Bytes(4, 1)));
    EXPECT_EQ(C_GenerateRandom(session, buffer.get(), 10), CKR_DEVICE_ERROR);
    device->answer(reply(CKR_OK));
    EXPECT_EQ(C_GenerateRandom(session, buffer.get(), 10), CKR_DEVICE_ERROR);
    EXPECT_EQ(buffer[4], 0xEE);

    device->answer(randomBytes(2, 1));  // one byte more than asked for
    EXPECT_EQ(C_GenerateRandom(session, buffer.get(), 10), CKR_FUNCTION_FAILED);
}

TEST_F(Random, SeedGoesInOnePieceAndTheAnswerPassesThrough) {
    std::vector<uint8_t> seed(1500, 0x5A);
    device->answer(reply(CKR_RANDOM_SEED_NOT_SUPPORTED));
    EXPECT_EQ(C_SeedRandom(session, seed.data(), seed.size()), CKR_RANDOM_SEED_NOT_SUPPORTED);
    EXPECT_EQ(only().data, seed);
}

}  // namespace
