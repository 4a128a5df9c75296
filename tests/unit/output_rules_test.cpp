// The output convention of every call that returns bytes into a caller's buffer, as one table:
// a length query asks the device with field 7 and a buffer goes with its capacity in field 11,
// so that the device, not the library, keeps the operation running for the caller's next call;
// the length needed comes back with success or CKR_BUFFER_TOO_SMALL, and an answer without it
// is not believed.
#include <functional>

#include "protocol/function_ids.h"
#include "unit/device_fixture.h"

using namespace orvotest;
namespace fn = dravenholt::fn;

namespace {

using Call = std::function<CK_RV(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR)>;

CK_BYTE input[4] = {1, 2, 3, 4};
CK_MECHANISM wrapping = {CKM_AES_KEY_WRAP, nullptr, 0};

const struct OutputCall {
    const char* name;
    uint32_t function;
    Call call;
} kOutputCalls[] = {
    {"C_Encrypt", fn::Encrypt, [](auto h, auto out, auto len) { return C_Encrypt(h, input, 4, out, len); }},
    {"C_EncryptUpdate", fn::EncryptUpdate,
     [](auto h, auto out, auto len) { return C_EncryptUpdate(h, input, 4, out, len); }},
    {"C_EncryptFinal", fn::EncryptFinal, C_EncryptFinal},
    {"C_Decrypt", fn::Decrypt, [](auto h, auto out, auto len) { return C_Decrypt(h, input, 4, out, len); }},
    {"C_DecryptUpdate", fn::DecryptUpdate,
     [](auto h, auto out, auto len) { return C_DecryptUpdate(h, input, 4, out, len); }},
    {"C_DecryptFinal", fn::DecryptFinal, C_DecryptFinal},
    {"C_Sign", fn::Sign, [](auto h, auto out, auto len) { return C_Sign(h, input, 4, out, len); }},
    {"C_SignFinal", fn::SignFinal, C_SignFinal},
    {"C_DigestFinal", fn::DigestFinal, C_DigestFinal},
    {"C_WrapKey", fn::WrapKey, [](auto h, auto out, auto len) { return C_WrapKey(h, &wrapping, 1, 2, out, len); }},
};

class OutputRules : public SessionTest {};

TEST_F(OutputRules, QueryAndShortBufferAskTheDeviceAndReportTheLengthNeeded) {
    for (const OutputCall& c : kOutputCalls) {
        SCOPED_TRACE(c.name);
        device->requests.clear();
        CK_ULONG length = 5;
        device->answer(lengthOnly(48));
        ASSERT_EQ(c.call(session, nullptr, &length), CKR_OK);
        EXPECT_EQ(length, 48u);

        CallerBuffer out(16);
        for (CK_ULONG capacity : {CK_ULONG{16}, CK_ULONG{0}}) {
            length = capacity;
            device->answer(lengthOnly(48, CKR_BUFFER_TOO_SMALL));
            EXPECT_EQ(c.call(session, out.data(), &length), CKR_BUFFER_TOO_SMALL);
            EXPECT_EQ(length, 48u);
            EXPECT_TRUE(out.untouched());
        }

        auto calls = sent();
        ASSERT_EQ(calls.size(), 3u);
        for (const Request& r : calls) EXPECT_EQ(r.function, c.function);
        EXPECT_EQ(calls[0].lengthOnly, true);
        EXPECT_FALSE(calls[0].length);
        EXPECT_EQ(calls[1].length, 16u);
        EXPECT_FALSE(calls[1].lengthOnly);
        EXPECT_EQ(calls[2].length, 0u);  // a buffer without room still goes to the device
    }
}

TEST_F(OutputRules, AnswersWithoutTheLengthAreNotBelievedAndUnknownSessionsAreRefused) {
    for (const OutputCall& c : kOutputCalls) {
        SCOPED_TRACE(c.name);
        CK_ULONG length = 5;
        device->answer(reply(CKR_OK));
        EXPECT_EQ(c.call(session, nullptr, &length), CKR_DEVICE_ERROR);
        EXPECT_EQ(length, 5u);

        CallerBuffer out(16);
        length = 16;
        device->answer(reply(CKR_BUFFER_TOO_SMALL));
        EXPECT_EQ(c.call(session, out.data(), &length), CKR_DEVICE_ERROR);
        EXPECT_EQ(length, 16u);

        device->requests.clear();
        EXPECT_EQ(c.call(session + 1000, nullptr, &length), CKR_SESSION_HANDLE_INVALID);
        EXPECT_TRUE(sent().empty());
    }
}

}  // namespace
