// Signing and verification on the wire: the update pieces of signing, verification and
// digesting, signatures copied back within the caller's buffer.
#include <algorithm>

#include "protocol/function_ids.h"
#include "unit/device_fixture.h"

using namespace orvotest;
namespace fn = dravenholt::fn;

namespace {

class Sign : public SessionTest {};

TEST_F(Sign, SignSendsDataAndCapacityAndCopiesTheSignature) {
    CK_BYTE data[3] = {1, 2, 3};
    CallerBuffer sig(64);
    CK_ULONG length = 64;
    device->answer(output(pattern(40), 40));
    ASSERT_EQ(C_Sign(session, data, sizeof data, sig.data(), &length), CKR_OK);
    EXPECT_EQ(length, 40u);
    EXPECT_EQ(sig.content(40), pattern(40));
    EXPECT_TRUE(sig.untouched(40));

    // Empty data travels as an empty field 4; a signature longer than the buffer fails.
    CallerBuffer small(16);
    length = 16;
    device->answer(output(pattern(17), 17));
    EXPECT_EQ(C_Sign(session, nullptr, 0, small.data(), &length), CKR_FUNCTION_FAILED);
    EXPECT_EQ(length, 16u);
    EXPECT_TRUE(small.untouched());

    auto calls = sent();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].function, fn::Sign);
    EXPECT_EQ(calls[0].data, Bytes(data, data + 3));
    EXPECT_EQ(calls[0].length, 64u);
    EXPECT_FALSE(calls[0].lengthOnly);
    EXPECT_EQ(calls[1].data, Bytes{});
    EXPECT_EQ(calls[1].length, 16u);
}

// The update calls of signing, verification and digesting share the piece loop.
TEST_F(Sign, UpdatesGoInPiecesOfAtMost2000BytesAndStopAtAFailure) {
    struct Update {
        CK_RV (*call)(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG);
        uint32_t function;
    } updates[] = {{C_SignUpdate, fn::SignUpdate}, {C_VerifyUpdate, fn::VerifyUpdate}, {C_DigestUpdate, fn::DigestUpdate}};
    Bytes data = pattern(4500);
    for (const Update& u : updates) {
        SCOPED_TRACE(u.function);
        device->requests.clear();
        ASSERT_EQ(u.call(session, data.data(), data.size()), CKR_OK);
        ASSERT_EQ(u.call(session, data.data(), 0), CKR_OK);
        auto calls = sent();
        ASSERT_EQ(calls.size(), 4u);
        for (size_t i = 0, offset = 0; i < 3; offset += 2000, ++i) {
            EXPECT_EQ(calls[i].function, u.function);
            EXPECT_EQ(calls[i].session, kDeviceSession);
            EXPECT_EQ(calls[i].data, Bytes(data.begin() + offset, data.begin() + std::min<size_t>(offset + 2000, 4500)));
        }
        EXPECT_EQ(calls[3].data, Bytes{});  // no data: one empty piece

        device->answer(reply(CKR_OK));
        device->answer(reply(CKR_DEVICE_ERROR));
        EXPECT_EQ(u.call(session, data.data(), data.size()), CKR_DEVICE_ERROR);
        EXPECT_EQ(sent().size(), 6u);
    }
    device->requests.clear();
    ASSERT_EQ(C_VerifyUpdate(session, nullptr, 0), CKR_OK);
    EXPECT_EQ(only().data, Bytes{});
}

TEST_F(Sign, FinalCopiesWithinTheBufferAndFailsOnOverlongSignatures) {
    CallerBuffer sig(64);
    CK_ULONG length = 64;
    device->answer(output(pattern(64), 64));
    ASSERT_EQ(C_SignFinal(session, sig.data(), &length), CKR_OK);
    EXPECT_EQ(length, 64u);
    EXPECT_EQ(sig.content(64), pattern(64));
    EXPECT_TRUE(sig.untouched(64));

    length = 8;
    device->answer(output(pattern(9)));
    EXPECT_EQ(C_SignFinal(session, sig.data(), &length), CKR_FUNCTION_FAILED);

    auto calls = sent();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].function, fn::SignFinal);
    EXPECT_EQ(calls[0].length, 64u);
    EXPECT_EQ(calls[1].length, 8u);
    EXPECT_FALSE(calls[1].lengthOnly || calls[1].data);
}

TEST_F(Sign, VerifyCarriesDataAndSignature) {
    CK_BYTE data[4] = {1, 2, 3, 4};
    CK_BYTE sig[6] = {9, 9, 9, 9, 9, 9};
    device->answer(reply(CKR_SIGNATURE_INVALID));
    EXPECT_EQ(C_Verify(session, data, sizeof data, sig, sizeof sig), CKR_SIGNATURE_INVALID);
    ASSERT_EQ(C_VerifyFinal(session, sig, sizeof sig), CKR_OK);
    ASSERT_EQ(C_VerifyFinal(session, nullptr, 0), CKR_OK);

    auto calls = sent();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].function, fn::Verify);
    EXPECT_EQ(calls[0].data, Bytes(data, data + 4));
    EXPECT_EQ(calls[0].data2, Bytes(sig, sig + 6));
    EXPECT_EQ(calls[1].function, fn::VerifyFinal);
    EXPECT_EQ(calls[1].data, Bytes(sig, sig + 6));
    EXPECT_FALSE(calls[1].data2);
    EXPECT_EQ(calls[2].data, Bytes{});
}

}  // namespace
