// Encryption and decryption on the wire: the length conventions of the data calls, output copied
// back, and replies that must not write beyond the caller's buffer.
#include "protocol/function_ids.h"
#include "unit/device_fixture.h"

using namespace orvotest;
namespace fn = dravenholt::fn;

namespace {

class Encrypt : public SessionTest {};

TEST_F(Encrypt, LengthQueryAndOutput) {
    CK_BYTE data[5] = {9, 8, 7, 6, 5};
    CK_ULONG length = 3;
    device->answer(lengthOnly(16));
    ASSERT_EQ(C_Encrypt(session, data, sizeof data, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 16u);

    CallerBuffer out(16);
    Bytes cipher(16, 0xC1);
    device->answer(output(cipher, 16));
    ASSERT_EQ(C_Encrypt(session, data, sizeof data, out.data(), &length), CKR_OK);
    EXPECT_EQ(length, 16u);
    EXPECT_EQ(out.content(16), cipher);
    EXPECT_TRUE(out.untouched(16));

    auto calls = sent();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].function, fn::Encrypt);
    EXPECT_EQ(calls[0].data, Bytes(data, data + 5));
    EXPECT_EQ(calls[0].lengthOnly, true);
    EXPECT_FALSE(calls[0].length);
    EXPECT_FALSE(calls[1].lengthOnly);
    EXPECT_EQ(calls[1].length, 16u);
    EXPECT_FALSE(calls[0].mechanism || calls[0].handle);
}

TEST_F(Encrypt, ReportedLengthWithoutField4) {
    CallerBuffer out(32);
    CK_ULONG length = 32;
    device->answer(output(Bytes(10, 0xD0)));
    ASSERT_EQ(C_DecryptUpdate(session, out.data(), 0, out.data(), &length), CKR_OK);
    EXPECT_EQ(length, 10u);

    // Success with no bytes and no length into a buffer is empty output, never the capacity.
    length = 32;
    device->answer(reply(CKR_OK));
    ASSERT_EQ(C_DecryptFinal(session, out.data(), &length), CKR_OK);
    EXPECT_EQ(length, 0u);

    // The device's own answer to a short buffer carries the length needed.
    device->answer(lengthOnly(48, CKR_BUFFER_TOO_SMALL));
    EXPECT_EQ(C_DecryptFinal(session, out.data(), &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 48u);
}

TEST_F(Encrypt, InputsAsGiven) {
    CK_BYTE buf[16];
    CK_ULONG length = sizeof buf;
    ASSERT_EQ(C_DecryptUpdate(session, nullptr, 100, buf, &length), CKR_OK);
    ASSERT_EQ(C_EncryptFinal(session, nullptr, nullptr), CKR_OK);
    auto calls = sent();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].function, fn::DecryptUpdate);
    EXPECT_FALSE(calls[0].data);
    EXPECT_EQ(calls[1].function, fn::EncryptFinal);
    EXPECT_FALSE(calls[1].data || calls[1].length);
    EXPECT_EQ(calls[1].lengthOnly, true);
}

TEST_F(Encrypt, BrokenRepliesNeverWriteBeyondTheBuffer) {
    Bytes tooLong = encode([] {
        Response r;
        r.data = Bytes(17, 0xAB);
        return r;
    }());
    Bytes truncated = encode([] {
        Response r;
        r.data = Bytes(16, 0xAB);
        r.length = 16;
        return r;
    }());
    truncated.resize(truncated.size() - 6);
    Bytes noRv = {0x1a, 0x02, 0xAB, 0xAB, 0x20, 0x02};  // fields 3 and 4 only

    // A length decoded before the failure is reported; a reply missing field 1 may fill what
    // it carries, never more.
    struct Case {
        Bytes raw;
        CK_ULONG length;
    } cases[] = {{tooLong, 16}, {truncated, 16}, {noRv, 2}};
    for (const Case& c : cases) {
        CallerBuffer out(16);
        CK_ULONG length = 16;
        device->answer(replyRaw(c.raw));
        EXPECT_EQ(C_Decrypt(session, out.data(), 0, out.data(), &length), CKR_FUNCTION_FAILED);
        EXPECT_EQ(length, c.length);
        EXPECT_TRUE(out.untouched(2));
    }

    // Without a length pointer the capacity is 0: any output fails.
    CallerBuffer out(16);
    device->answer(output(Bytes(1, 0xAB)));
    EXPECT_EQ(C_EncryptFinal(session, out.data(), nullptr), CKR_FUNCTION_FAILED);
    EXPECT_TRUE(out.untouched());
}

TEST_F(Encrypt, SuccessAnnouncingMoreThanItCarriedFails) {
    CallerBuffer out(16);
    CK_ULONG length = 16;
    device->answer(output(Bytes(8, 0xAB), 4000));
    EXPECT_EQ(C_Encrypt(session, out.data(), 4, out.data(), &length), CKR_FUNCTION_FAILED);
    EXPECT_EQ(length, 16u);
    EXPECT_TRUE(out.untouched(8));
}

}  // namespace
