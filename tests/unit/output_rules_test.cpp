// Every call that returns bytes into a caller's buffer, as one table: the length needed comes
// back with success or CKR_BUFFER_TOO_SMALL, and an answer without it is not believed. (The
// length query, the short buffer and the retry against a simulated token: tests/e2e.)
#include <functional>

#include "unit/device_fixture.h"

using namespace orvotest;

namespace {

using Call = std::function<CK_RV(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR)>;

CK_BYTE input[4] = {1, 2, 3, 4};
CK_MECHANISM wrapping = {CKM_AES_KEY_WRAP, nullptr, 0};

const struct OutputCall {
    const char* name;
    Call call;
} kOutputCalls[] = {
    {"C_Encrypt", [](auto h, auto out, auto len) { return C_Encrypt(h, input, 4, out, len); }},
    {"C_EncryptUpdate", [](auto h, auto out, auto len) { return C_EncryptUpdate(h, input, 4, out, len); }},
    {"C_EncryptFinal", C_EncryptFinal},
    {"C_Decrypt", [](auto h, auto out, auto len) { return C_Decrypt(h, input, 4, out, len); }},
    {"C_DecryptUpdate", [](auto h, auto out, auto len) { return C_DecryptUpdate(h, input, 4, out, len); }},
    {"C_DecryptFinal", C_DecryptFinal},
    {"C_Sign", [](auto h, auto out, auto len) { return C_Sign(h, input, 4, out, len); }},
    {"C_SignFinal", C_SignFinal},
    {"C_DigestFinal", C_DigestFinal},
    {"C_WrapKey", [](auto h, auto out, auto len) { return C_WrapKey(h, &wrapping, 1, 2, out, len); }},
};

class OutputRules : public SessionTest {};

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
