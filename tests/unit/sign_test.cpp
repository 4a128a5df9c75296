// Signing and verification on the wire: the direct mechanism fill, the library's own length
// answer, the update pieces, signatures copied back within the caller's buffer.
#include "protocol/function_ids.h"
#include "session_fixture.h"

using namespace orvotest;
namespace fn = dravenholt::fn;

namespace {

class Sign : public SessionTest {};

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7);
    return b;
}

TEST(SignUninitialised, SignInitWritesNoTraceLine) {
    TestDir dir;
    dir.useAsConfig(R"({"logging":{"loglevel":10,"logfile":")" + dir.file("log.txt") + R"("}})");
    CK_MECHANISM m{CKM_ECDSA, nullptr, 0};
    EXPECT_EQ(C_SignInit(1, &m, 1), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(C_VerifyInit(1, &m, 1), CKR_CRYPTOKI_NOT_INITIALIZED);
    std::string log = dir.read("log.txt");
    EXPECT_EQ(log.find("C_SignInit"), std::string::npos);
    EXPECT_NE(log.find("TRACE : C_VerifyInit\n"), std::string::npos);
}

TEST_F(Sign, InitSendsTheBlockInTheDeviceLayout) {
    CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
    CK_MECHANISM m{CKM_SHA256_RSA_PKCS_PSS, &pss, sizeof pss};
    ASSERT_EQ(C_SignInit(session, &m, 5), CKR_OK);
    device->answer(reply(0x60));
    EXPECT_EQ(C_VerifyInit(session, &m, 6), 0x60u);

    auto calls = sent();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].function, fn::SignInit);
    EXPECT_EQ(calls[1].function, fn::VerifyInit);
    for (const Request& r : calls) {
        EXPECT_EQ(r.session, kDeviceSession);
        EXPECT_EQ(r.mechanism->parameterLength, 12u);
        EXPECT_EQ(r.mechanism->parameter,
                  (Bytes{0x50, 0x02, 0, 0, 0x02, 0, 0, 0, 32, 0, 0, 0}));
        EXPECT_FALSE(r.data || r.length);
    }
    EXPECT_EQ(calls[0].handle, 5u);
    EXPECT_TRUE(logged("TRACE : Mechanism: 0x00000043 Paramlen: c\n"));
    EXPECT_TRUE(logged("INFO : SignVerifyInit returned 0x60\n"));
}

TEST_F(Sign, InitRefusalsBeforeAnyLock) {
    CK_MECHANISM m{CKM_SHA256_RSA_PKCS_PSS, nullptr, 12};
    EXPECT_EQ(C_SignInit(session, &m, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_VerifyInit(session, nullptr, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_SignInit(999, nullptr, 1), CKR_ARGUMENTS_BAD);
    CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
    EXPECT_EQ(C_SignInit(999, &ecdsa, 1), CKR_SESSION_HANDLE_INVALID);
    EXPECT_TRUE(sent().empty());
}

TEST_F(Sign, SignAnswersTheLengthQueryItself) {
    CK_BYTE data[3] = {1, 2, 3};
    CK_ULONG length = 0;
    EXPECT_EQ(C_Sign(session, data, sizeof data, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 512u);
    EXPECT_EQ(C_Sign(session, data, sizeof data, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_Sign(session, nullptr, 5, nullptr, &length), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(sent().empty());
}

TEST_F(Sign, SignSendsDataAndCapacityAndCopiesTheSignature) {
    CK_BYTE data[3] = {1, 2, 3};
    GuardedBuffer sig(64);
    CK_ULONG length = 64;
    device->answer(output(pattern(40), 40));
    ASSERT_EQ(C_Sign(session, data, sizeof data, sig.data(), &length), CKR_OK);
    EXPECT_EQ(length, 40u);
    EXPECT_EQ(sig.content(40), pattern(40));
    EXPECT_TRUE(sig.untouched(40));

    // Empty data travels as an empty field 4; a signature longer than the buffer fails.
    GuardedBuffer small(16);
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

TEST_F(Sign, UpdateSendsPiecesOfAtMost2000Bytes) {
    Bytes data = pattern(4500);
    ASSERT_EQ(C_SignUpdate(session, data.data(), data.size()), CKR_OK);
    auto calls = sent();
    ASSERT_EQ(calls.size(), 3u);
    size_t offset = 0;
    for (size_t i = 0; i < 3; ++i) {
        size_t size = i < 2 ? 2000 : 500;
        EXPECT_EQ(calls[i].function, fn::SignUpdate);
        EXPECT_EQ(calls[i].session, kDeviceSession);
        EXPECT_EQ(calls[i].data, Bytes(data.begin() + offset, data.begin() + offset + size));
        offset += size;
    }

    device->requests.clear();
    ASSERT_EQ(C_VerifyUpdate(session, data.data(), 2000), CKR_OK);
    ASSERT_EQ(C_SignUpdate(session, data.data(), 0), CKR_OK);
    ASSERT_EQ(C_VerifyUpdate(session, nullptr, 0), CKR_OK);
    EXPECT_EQ(C_SignUpdate(session, nullptr, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_VerifyUpdate(session, nullptr, 1), CKR_ARGUMENTS_BAD);
    calls = sent();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].function, fn::VerifyUpdate);
    EXPECT_EQ(calls[0].data->size(), 2000u);
    EXPECT_EQ(calls[1].data, Bytes{});
    EXPECT_EQ(calls[2].function, fn::VerifyUpdate);
    EXPECT_EQ(calls[2].data, Bytes{});
}

TEST_F(Sign, UpdateStopsAtTheFirstFailingPiece) {
    Bytes data = pattern(4500);
    device->answer(reply(CKR_OK));
    device->answer(reply(CKR_DEVICE_ERROR));
    EXPECT_EQ(C_VerifyUpdate(session, data.data(), data.size()), CKR_DEVICE_ERROR);
    EXPECT_EQ(sent().size(), 2u);
    EXPECT_EQ(C_SignUpdate(999, data.data(), data.size()), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(sent().size(), 2u);
}

TEST_F(Sign, FinalCountsWhatCameAndIgnoresField4) {
    CK_ULONG length = 256;
    device->answer(output(pattern(70), 9));
    ASSERT_EQ(C_SignFinal(session, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 70u);

    GuardedBuffer sig(64);
    length = 64;
    device->answer(output(pattern(64), 1000));
    ASSERT_EQ(C_SignFinal(session, sig.data(), &length), CKR_OK);
    EXPECT_EQ(length, 64u);
    EXPECT_EQ(sig.content(64), pattern(64));
    EXPECT_TRUE(sig.untouched(64));

    length = 8;
    device->answer(output(pattern(9)));
    EXPECT_EQ(C_SignFinal(session, sig.data(), &length), CKR_FUNCTION_FAILED);
    EXPECT_EQ(C_SignFinal(session, sig.data(), nullptr), CKR_ARGUMENTS_BAD);

    auto calls = sent();
    ASSERT_EQ(calls.size(), 3u);
    for (const Request& r : calls) {
        EXPECT_EQ(r.function, fn::SignFinal);
        EXPECT_FALSE(r.length || r.lengthOnly || r.data);
    }
}

TEST_F(Sign, VerifyCarriesDataAndSignature) {
    CK_BYTE data[4] = {1, 2, 3, 4};
    CK_BYTE sig[6] = {9, 9, 9, 9, 9, 9};
    device->answer(reply(CKR_SIGNATURE_INVALID));
    EXPECT_EQ(C_Verify(session, data, sizeof data, sig, sizeof sig), CKR_SIGNATURE_INVALID);
    ASSERT_EQ(C_VerifyFinal(session, sig, sizeof sig), CKR_OK);
    ASSERT_EQ(C_VerifyFinal(session, nullptr, 0), CKR_OK);
    EXPECT_EQ(C_Verify(session, data, sizeof data, nullptr, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_Verify(session, nullptr, 1, sig, sizeof sig), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_VerifyFinal(session, nullptr, 1), CKR_ARGUMENTS_BAD);

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
