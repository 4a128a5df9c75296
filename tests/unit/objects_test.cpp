// Creating, copying, destroying and sizing objects, and setting attributes, as seen on the wire.
#include <gtest/gtest.h>

#include "protocol/function_ids.h"
#include "session_fixture.h"
#include "support/wide_numbers.h"

using namespace orvotest;
namespace fn = dravenholt::fn;

namespace {

class Objects : public SessionTest {};

Response withHandle(uint32_t rv, uint32_t handle) {
    Response r;
    r.rv = rv;
    r.handle = handle;
    return r;
}

TEST_F(Objects, CreateSendsEachValueInItsFormAndReturnsTheNewHandle) {
    CK_BBOOL yes = CK_TRUE;
    CK_ULONG valueLen = 32;
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    char label[] = "my key";
    CK_ATTRIBUTE tmpl[] = {{CKA_TOKEN, &yes, sizeof yes},
                           {CKA_VALUE_LEN, &valueLen, sizeof valueLen},
                           {CKA_LABEL, label, 6},
                           {CKA_CLASS, &cls, 0}};
    device->answer(reply(withHandle(CKR_OK, 0xFFFFFFF0u)));
    CK_OBJECT_HANDLE object = 0;
    EXPECT_EQ(C_CreateObject(session, tmpl, 4, &object), CKR_OK);
    EXPECT_EQ(object, 0xFFFFFFF0u);  // widened, not sign-extended

    Request r = only();
    EXPECT_EQ(r.function, fn::CreateObject);
    ASSERT_EQ(r.templ.size(), 4u);
    EXPECT_EQ(r.templ[0].type, CKA_TOKEN);
    EXPECT_EQ(r.templ[0].flag, true);
    EXPECT_EQ(r.templ[1].number, 32u);
    EXPECT_FALSE(r.templ[1].length);
    EXPECT_EQ(r.templ[2].length, 6u);
    EXPECT_EQ(r.templ[2].value, bytes("my key"));
    EXPECT_EQ(r.templ[3].length, 0u);  // a number type without a value goes as empty bytes
    EXPECT_FALSE(r.templ[3].value);
    EXPECT_FALSE(r.templ[3].number);
}

TEST_F(Objects, HandleIsWrittenWheneverTheReplyCarriesOne) {
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE tmpl[] = {{CKA_TOKEN, &yes, 1}};
    CK_OBJECT_HANDLE object = 77;
    device->answer(reply(withHandle(CKR_TEMPLATE_INCOMPLETE, 5)));
    EXPECT_EQ(C_CreateObject(session, tmpl, 1, &object), CKR_TEMPLATE_INCOMPLETE);
    EXPECT_EQ(object, 5u);
    device->answer(reply(CKR_ATTRIBUTE_READ_ONLY));
    EXPECT_EQ(C_CreateObject(session, tmpl, 1, &object), CKR_ATTRIBUTE_READ_ONLY);
    EXPECT_EQ(object, 5u);
}

TEST_F(Objects, BadArgumentsSendNothing) {
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE tmpl[] = {{CKA_TOKEN, &yes, 1}};
    CK_OBJECT_HANDLE object = 0;
    CK_ULONG size = 0;
    EXPECT_EQ(C_CreateObject(session, nullptr, 1, &object), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_CreateObject(session, tmpl, 0, &object), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_CreateObject(session, tmpl, 1, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_CopyObject(session, 1, nullptr, 0, &object), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_CopyObject(session, 1, tmpl, 1, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_GetObjectSize(session, 1, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_SetAttributeValue(session, 1, nullptr, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_SetAttributeValue(session, 1, tmpl, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_CreateObject(session + 100, tmpl, 1, &object), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(C_DestroyObject(session + 100, 1), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(C_GetObjectSize(session + 100, 1, &size), CKR_SESSION_HANDLE_INVALID);
    EXPECT_TRUE(sent().empty());
}

TEST_F(Objects, HostValuesBeyondThirtyTwoBitsAreRefusedNotTruncated) {
    ORVO_SKIP_UNLESS_WIDE_HOST_NUMBERS();
    CK_BBOOL yes = CK_TRUE;
    CK_ULONG huge = wide(0x100000020ULL);
    CK_ATTRIBUTE flag[] = {{CKA_TOKEN, &yes, 1}};
    CK_ATTRIBUTE number[] = {{CKA_VALUE_LEN, &huge, sizeof huge}};
    CK_OBJECT_HANDLE object = 0;
    CK_ULONG size = 9;
    const CK_OBJECT_HANDLE beyond = wide(0x100000001ULL);
    EXPECT_EQ(C_DestroyObject(session, beyond), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(C_CopyObject(session, beyond, flag, 1, &object), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(C_SetAttributeValue(session, beyond, flag, 1), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(C_GetObjectSize(session, beyond, &size), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(C_CreateObject(session, number, 1, &object), CKR_ATTRIBUTE_VALUE_INVALID);
    EXPECT_TRUE(sent().empty());
}

TEST_F(Objects, CopyWithEmptyTemplateSendsOnlyTheObject) {
    CK_ATTRIBUTE none[1] = {};
    CK_OBJECT_HANDLE copy = 3;
    device->answer(reply(withHandle(CKR_OK, 9)));
    EXPECT_EQ(C_CopyObject(session, 0x1234, none, 0, &copy), CKR_OK);
    EXPECT_EQ(copy, 9u);
    Request r = only();
    EXPECT_EQ(r.function, fn::CopyObject);
    EXPECT_EQ(r.handle, 0x1234u);
    EXPECT_TRUE(r.templ.empty());
}

TEST_F(Objects, DestroySendsTheObjectAndPassesTheDeviceAnswer) {
    device->answer(reply(CKR_OBJECT_HANDLE_INVALID));
    EXPECT_EQ(C_DestroyObject(session, 42), CKR_OBJECT_HANDLE_INVALID);
    Request r = only();
    EXPECT_EQ(r.function, fn::DestroyObject);
    EXPECT_EQ(r.handle, 42u);
}

TEST_F(Objects, ObjectSizeFromFieldFour) {
    CK_ULONG size = 1234;
    Response r;
    r.length = 300;
    device->answer(reply(r));
    EXPECT_EQ(C_GetObjectSize(session, 7, &size), CKR_OK);
    EXPECT_EQ(size, 300u);
    EXPECT_EQ(sent().back().handle, 7u);

    device->answer(reply(CKR_OK));  // no field 4
    EXPECT_EQ(C_GetObjectSize(session, 7, &size), CKR_OK);
    EXPECT_EQ(size, 0u);

    r.length = 0xFFFFFFFFu;
    device->answer(reply(r));
    EXPECT_EQ(C_GetObjectSize(session, 7, &size), CKR_OK);
    EXPECT_EQ(size, CK_UNAVAILABLE_INFORMATION);
}

TEST_F(Objects, SetAttributeValueSendsObjectAndTemplate) {
    char label[] = "renamed";
    CK_ATTRIBUTE tmpl[] = {{CKA_LABEL, label, 7}};
    device->answer(reply(CKR_ATTRIBUTE_READ_ONLY));
    EXPECT_EQ(C_SetAttributeValue(session, 11, tmpl, 1), CKR_ATTRIBUTE_READ_ONLY);
    Request r = only();
    EXPECT_EQ(r.function, fn::SetAttributeValue);
    EXPECT_EQ(r.handle, 11u);
    ASSERT_EQ(r.templ.size(), 1u);
    EXPECT_EQ(r.templ[0].value, bytes("renamed"));
}

}  // namespace
