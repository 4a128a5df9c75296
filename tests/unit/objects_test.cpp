// Creating, copying, destroying and sizing objects, and setting attributes, as seen on the wire.
#include <gtest/gtest.h>

#include "protocol/function_ids.h"
#include "unit/device_fixture.h"

using namespace orvotest;
namespace fn = dravenholt::fn;

namespace {

class Objects : public SessionTest {};

Answer withHandle(uint32_t rv, uint32_t handle) { return answer(rv, std::nullopt, handle); }

TEST_F(Objects, CreateSendsEachValueInItsFormAndReturnsTheNewHandle) {
    CK_BBOOL yes = CK_TRUE;
    CK_ULONG valueLen = 32;
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    char label[] = "my key";
    CK_ATTRIBUTE tmpl[] = {{CKA_TOKEN, &yes, sizeof yes},
                           {CKA_VALUE_LEN, &valueLen, sizeof valueLen},
                           {CKA_LABEL, label, 6},
                           {CKA_CLASS, &cls, 0},
                           {CKA_TOKEN, &yes, 0},                      // no length: bytes form, no field 3
                           {CKA_ID, nullptr, 10},                     // null value: empty field 3
                           {CKA_KEY_TYPE, &cls, sizeof(CK_ULONG) - 1}};  // too short for a host CK_ULONG: bytes
    device->answer(withHandle(CKR_OK, 0xFFFFFFF0u));
    CK_OBJECT_HANDLE object = 0;
    EXPECT_EQ(C_CreateObject(session, tmpl, 7, &object), CKR_OK);
    EXPECT_EQ(object, 0xFFFFFFF0u);  // widened, not sign-extended

    Request r = only();
    EXPECT_EQ(r.function, fn::CreateObject);
    ASSERT_EQ(r.templ.size(), 7u);
    EXPECT_EQ(r.templ[0].type, CKA_TOKEN);
    EXPECT_EQ(r.templ[0].flag, true);
    EXPECT_EQ(r.templ[1].number, 32u);
    EXPECT_FALSE(r.templ[1].length);
    EXPECT_EQ(r.templ[2].length, 6u);
    EXPECT_EQ(r.templ[2].value, bytes("my key"));
    EXPECT_EQ(r.templ[3].length, 0u);  // a number type without a value goes as empty bytes
    EXPECT_FALSE(r.templ[3].value);
    EXPECT_FALSE(r.templ[3].number);
    EXPECT_EQ(r.templ[4].length, 0u);
    EXPECT_FALSE(r.templ[4].value || r.templ[4].flag);
    EXPECT_EQ(r.templ[5].length, 10u);
    EXPECT_EQ(r.templ[5].value, Bytes{});
    EXPECT_EQ(tmpl[5].ulValueLen, 10u);  // the caller's template is never written
    EXPECT_FALSE(r.templ[6].number);
    EXPECT_EQ(r.templ[6].length, sizeof(CK_ULONG) - 1);
}

TEST_F(Objects, HandleIsWrittenOnlyOnSuccess) {
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE tmpl[] = {{CKA_TOKEN, &yes, 1}};
    CK_OBJECT_HANDLE object = 77;
    device->answer(withHandle(CKR_TEMPLATE_INCOMPLETE, 5));
    EXPECT_EQ(C_CreateObject(session, tmpl, 1, &object), CKR_TEMPLATE_INCOMPLETE);
    EXPECT_EQ(object, 77u);
}

TEST_F(Objects, CopyDestroyAndSetNameTheObjectAndPassTheDeviceAnswer) {
    char label[] = "renamed";
    CK_ATTRIBUTE tmpl[] = {{CKA_LABEL, label, 7}};
    CK_ATTRIBUTE none[1] = {};
    CK_OBJECT_HANDLE copy = 3;
    device->answer(withHandle(CKR_OK, 9));
    EXPECT_EQ(C_CopyObject(session, 0x1234, none, 0, &copy), CKR_OK);
    EXPECT_EQ(copy, 9u);
    device->answer(reply(CKR_OBJECT_HANDLE_INVALID));
    EXPECT_EQ(C_DestroyObject(session, 42), CKR_OBJECT_HANDLE_INVALID);
    device->answer(reply(CKR_ATTRIBUTE_READ_ONLY));
    EXPECT_EQ(C_SetAttributeValue(session, 11, tmpl, 1), CKR_ATTRIBUTE_READ_ONLY);

    auto r = sent();
    ASSERT_EQ(r.size(), 3u);
    const std::pair<uint32_t, uint32_t> expected[] = {{fn::CopyObject, 0x1234}, {fn::DestroyObject, 42}, {fn::SetAttributeValue, 11}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(r[i].function, expected[i].first);
        EXPECT_EQ(r[i].session, kDeviceSession);
        EXPECT_EQ(r[i].handle, expected[i].second);
    }
    EXPECT_TRUE(r[0].templ.empty() && r[1].templ.empty());
    ASSERT_EQ(r[2].templ.size(), 1u);
    EXPECT_EQ(r[2].templ[0].value, bytes("renamed"));
}

TEST_F(Objects, ObjectSizeFromFieldFour) {
    CK_ULONG size = 1234;
    device->answer(lengthOnly(300));
    EXPECT_EQ(C_GetObjectSize(session, 7, &size), CKR_OK);
    EXPECT_EQ(size, 300u);
    EXPECT_EQ(sent().back().handle, 7u);

    device->answer(reply(CKR_OK));  // no field 4
    EXPECT_EQ(C_GetObjectSize(session, 7, &size), CKR_OK);
    EXPECT_EQ(size, 0u);

    device->answer(lengthOnly(0xFFFFFFFFu));
    EXPECT_EQ(C_GetObjectSize(session, 7, &size), CKR_OK);
    EXPECT_EQ(size, CK_UNAVAILABLE_INFORMATION);
}

TEST_F(Objects, ArrayAttributesTravelAsDeviceRecordsWithoutAddresses) {
    CK_BBOOL yes = CK_TRUE;
    CK_KEY_TYPE aes = CKK_AES;
    CK_ATTRIBUTE nested[] = {{CKA_EXTRACTABLE, &yes, 1}, {CKA_KEY_TYPE, &aes, sizeof aes}};
    CK_ATTRIBUTE tmpl[] = {{CKA_WRAP_TEMPLATE, nested, sizeof nested}};
    CK_OBJECT_HANDLE object = 0;
    device->answer(withHandle(CKR_OK, 5));
    ASSERT_EQ(C_CreateObject(session, tmpl, 1, &object), CKR_OK);

    // type, eight zero bytes where the host holds a pointer, length; 16 bytes a record
    Bytes expected(32, 0);
    expected[0] = CKA_EXTRACTABLE & 0xFF, expected[1] = CKA_EXTRACTABLE >> 8, expected[12] = 1;
    expected[17] = CKA_KEY_TYPE >> 8, expected[28] = sizeof(CK_KEY_TYPE);
    Request r = only();
    ASSERT_EQ(r.templ.size(), 1u);
    EXPECT_EQ(r.templ[0].length, 32u);
    EXPECT_EQ(r.templ[0].value, expected);

    // Not whole records: refused before anything is sent.
    device->requests.clear();
    tmpl[0].ulValueLen = sizeof nested - 1;
    EXPECT_EQ(C_CreateObject(session, tmpl, 1, &object), CKR_ATTRIBUTE_VALUE_INVALID);
    EXPECT_TRUE(sent().empty());
}

}  // namespace
