// What the caller passes in is only read: mechanisms and templates in read-only memory, as
// constant data of a program lies, go through the calls that once wrote into them.
#include <new>

#include "support/platform.h"
#include "unit/device_fixture.h"

using namespace orvotest;

namespace {

class ReadOnlyInputs : public SessionTest {};

TEST_F(ReadOnlyInputs, MechanismAndTemplateAreNeverWritten) {
    ReadOnlyPage page;
    ASSERT_TRUE(page.data());
    struct Inputs {
        CK_BYTE parameter[4];
        CK_BBOOL yes;
        CK_MECHANISM mechanism;
        CK_ATTRIBUTE tmpl[2];
    };
    auto* in = new (page.data()) Inputs{{9, 9, 9, 9}, CK_TRUE, {}, {}};
    in->mechanism = {CKM_RSA_PKCS, in->parameter, sizeof in->parameter};  // normalised to no parameter
    in->tmpl[0] = {CKA_LABEL, nullptr, 10};                               // a length without a value
    in->tmpl[1] = {CKA_TOKEN, &in->yes, 1};
    ASSERT_TRUE(page.seal());

    CK_BYTE wrapped[4] = {1, 2, 3, 4};
    CK_OBJECT_HANDLE key = 0, object = 0;
    device->answer(answer(CKR_OK, std::nullopt, 0x44));
    device->answer(answer(CKR_OK, std::nullopt, 0x45));
    EXPECT_EQ(C_UnwrapKey(session, &in->mechanism, 3, wrapped, 4, in->tmpl, 2, &key), CKR_OK);
    EXPECT_EQ(C_CreateObject(session, in->tmpl, 2, &object), CKR_OK);
    EXPECT_EQ(key, 0x44u);
    EXPECT_EQ(object, 0x45u);

    auto calls = sent();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].mechanism->parameter, Bytes{});
    for (const Request& r : calls) {
        ASSERT_EQ(r.templ.size(), 2u);
        EXPECT_EQ(r.templ[0].length, 10u);
        EXPECT_EQ(r.templ[0].value, Bytes{});
        EXPECT_EQ(r.templ[1].flag, true);
    }
}

}  // namespace
