// Digesting on the wire: the key, the final call's length conventions, and C_Digest made of
// update pieces and the final call.
#include "protocol/function_ids.h"
#include "unit/device_fixture.h"

using namespace orvotest;
namespace fn = dravenholt::fn;

namespace {

class Digest : public SessionTest {};

TEST_F(Digest, DigestKeySendsTheKeyOnly) {
    ASSERT_EQ(C_DigestKey(session, 0x1234), CKR_OK);
    Request r = only();
    EXPECT_EQ(r.function, fn::DigestKey);
    EXPECT_EQ(r.handle, 0x1234u);
    EXPECT_FALSE(r.data || r.mechanism);
}

TEST_F(Digest, FinalLengthConventions) {
    CallerBuffer digest(32);
    CK_ULONG length = 32;
    Bytes value(32, 0x5A);
    device->answer(output(value, 32));
    ASSERT_EQ(C_DigestFinal(session, digest.data(), &length), CKR_OK);
    EXPECT_EQ(digest.content(32), value);
    EXPECT_TRUE(digest.untouched(32));

    device->answer(lengthOnly(48));
    ASSERT_EQ(C_DigestFinal(session, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 48u);

    device->answer(output(value, 32));
    ASSERT_EQ(C_DigestFinal(session, digest.data(), nullptr), CKR_OK);

    CallerBuffer small(20);
    length = 20;
    device->answer(output(value, 32));
    EXPECT_EQ(C_DigestFinal(session, small.data(), &length), CKR_FUNCTION_FAILED);
    EXPECT_EQ(length, 20u);
    EXPECT_TRUE(small.untouched());

    auto calls = sent();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].length, 32u);
    EXPECT_FALSE(calls[0].lengthOnly);
    EXPECT_EQ(calls[1].lengthOnly, true);
    EXPECT_FALSE(calls[1].length);
    EXPECT_FALSE(calls[2].lengthOnly || calls[2].length);
    for (const Request& r : calls) EXPECT_EQ(r.function, fn::DigestFinal);
}

TEST_F(Digest, DigestIsUpdatePiecesThenFinal) {
    Bytes data(5000, 0x61);
    CallerBuffer digest(64);  // holds every digest: no length query first
    CK_ULONG length = 64;
    device->answer(reply(CKR_OK));
    device->answer(reply(CKR_OK));
    device->answer(reply(CKR_OK));
    device->answer(output(Bytes(32, 0x77), 32));
    ASSERT_EQ(C_Digest(session, data.data(), data.size(), digest.data(), &length), CKR_OK);
    EXPECT_EQ(digest.content(32), Bytes(32, 0x77));

    auto calls = sent();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].data->size(), 2000u);
    EXPECT_EQ(calls[1].data->size(), 2000u);
    EXPECT_EQ(calls[2].data->size(), 1000u);
    EXPECT_EQ(calls[2].function, fn::DigestUpdate);
    EXPECT_EQ(calls[3].function, fn::DigestFinal);
    EXPECT_EQ(calls[3].length, 64u);
    std::string text = log();
    size_t digestLine = text.find("TRACE : C_Digest\n");
    size_t updateLine = text.find("TRACE : C_DigestUpdate\n");
    size_t finalLine = text.find("TRACE : C_DigestFinal\n");
    EXPECT_TRUE(digestLine < updateLine && updateLine < finalLine) << text;
}

// A buffer that may be too small is measured before the data goes out, so that the caller's
// retry digests the data once.
TEST_F(Digest, DigestIntoASmallBufferAsksTheLengthBeforeSendingData) {
    Bytes data = bytes("abc");
    CallerBuffer digest(32);
    CK_ULONG length = 10;
    device->answer(lengthOnly(32));
    EXPECT_EQ(C_Digest(session, data.data(), data.size(), digest.data(), &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 32u);
    EXPECT_TRUE(digest.untouched());

    device->answer(lengthOnly(32));
    device->answer(reply(CKR_OK));
    device->answer(output(Bytes(32, 0x77), 32));
    ASSERT_EQ(C_Digest(session, data.data(), data.size(), digest.data(), &length), CKR_OK);
    EXPECT_EQ(digest.content(32), Bytes(32, 0x77));

    auto calls = sent();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].function, fn::DigestFinal);
    EXPECT_EQ(calls[0].lengthOnly, true);
    EXPECT_EQ(calls[1].lengthOnly, true);
    EXPECT_EQ(calls[2].function, fn::DigestUpdate);
    EXPECT_EQ(calls[2].data, data);  // once
    EXPECT_EQ(calls[3].length, 32u);
}

TEST_F(Digest, DigestWithoutBufferAsksTheLengthOnly) {
    CK_BYTE data[4] = {1, 2, 3, 4};
    CK_ULONG length = 0;
    device->answer(lengthOnly(32));
    ASSERT_EQ(C_Digest(session, data, sizeof data, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 32u);

    // Without data as well: still a length query, which leaves the operation running.
    length = 0;
    device->answer(lengthOnly(20));
    ASSERT_EQ(C_Digest(session, nullptr, 0, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 20u);

    auto calls = sent();
    ASSERT_EQ(calls.size(), 2u);
    for (const Request& r : calls) {
        EXPECT_EQ(r.function, fn::DigestFinal);
        EXPECT_EQ(r.lengthOnly, true);
        EXPECT_FALSE(r.data || r.length);
    }
}

TEST_F(Digest, DigestFailures) {
    // Null data with a length: the operation is finished on the device, then refused.
    CK_ULONG length = 7;
    EXPECT_EQ(C_Digest(session, nullptr, 10, nullptr, &length), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(length, 7u);
    auto calls = sent();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].function, fn::DigestFinal);
    EXPECT_EQ(calls[0].length, 64u);

    // A failing piece ends the call: no final request.
    Bytes data(3000, 0x01);
    CK_BYTE digest[64];
    length = sizeof digest;
    device->answer(reply(CKR_DEVICE_MEMORY));
    EXPECT_EQ(C_Digest(session, data.data(), data.size(), digest, &length), CKR_DEVICE_MEMORY);
    EXPECT_EQ(sent().size(), 2u);
}

}  // namespace
