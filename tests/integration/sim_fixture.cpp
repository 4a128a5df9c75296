#include "sim_fixture.h"

#include <string>

#include "frame/context.h"

namespace simint {
namespace {

CK_UTF8CHAR_PTR utf8(const std::string& p) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(p.data())); }

// Never null: the library refuses null templates.
CK_ATTRIBUTE_PTR records(Attributes& a) {
    static CK_ATTRIBUTE none{};
    return a.empty() ? &none : a.data();
}

}  // namespace

void SimTest::SetUp() {
    dir.useAsConfig();
    devices = dravenholt::sim::installSimulatedDevices(dravenholt::getContext(), 1, "");
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    const std::string so = "so-secret", user = "user-secret";
    std::string label = "integration";
    label.resize(32, ' ');
    ASSERT_EQ(C_InitToken(0, utf8(so), CK_ULONG(so.size()), utf8(label)), CKR_OK);
    ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session), CKR_OK);
    ASSERT_EQ(C_Login(session, CKU_SO, utf8(so), CK_ULONG(so.size())), CKR_OK);
    ASSERT_EQ(C_InitPIN(session, utf8(user), CK_ULONG(user.size())), CKR_OK);
    ASSERT_EQ(C_Logout(session), CKR_OK);
    ASSERT_EQ(C_Login(session, CKU_USER, utf8(user), CK_ULONG(user.size())), CKR_OK);
}

void SimTest::TearDown() {
    C_Finalize(nullptr);
    devices.reset();
}

CK_OBJECT_HANDLE SimTest::create(Attributes templ) {
    CK_OBJECT_HANDLE h = 0;
    EXPECT_EQ(C_CreateObject(session, records(templ), CK_ULONG(templ.size()), &h), CKR_OK);
    return h;
}

CK_OBJECT_HANDLE SimTest::secretKey(CK_KEY_TYPE type, Bytes value, Attributes extra) {
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    extra.push_back({CKA_CLASS, &cls, sizeof cls});
    extra.push_back({CKA_KEY_TYPE, &type, sizeof type});
    extra.push_back({CKA_VALUE, value.data(), size(value)});
    return create(extra);
}

std::pair<CK_OBJECT_HANDLE, CK_OBJECT_HANDLE> SimTest::keyPair(CK_MECHANISM_TYPE mechanism, Attributes pub, Attributes priv) {
    CK_MECHANISM m = {mechanism, nullptr, 0};
    CK_OBJECT_HANDLE hPub = 0, hPriv = 0;
    EXPECT_EQ(C_GenerateKeyPair(session, &m, records(pub), CK_ULONG(pub.size()), records(priv), CK_ULONG(priv.size()), &hPub,
                                &hPriv),
              CKR_OK);
    return {hPub, hPriv};
}

Bytes SimTest::attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a = {type, nullptr, 0};
    EXPECT_EQ(C_GetAttributeValue(session, object, &a, 1), CKR_OK);
    if (a.ulValueLen == CK_UNAVAILABLE_INFORMATION) return {};
    Bytes value(a.ulValueLen);
    a.pValue = value.data();
    EXPECT_EQ(C_GetAttributeValue(session, object, &a, 1), CKR_OK);
    value.resize(a.ulValueLen);
    return value;
}

Bytes SimTest::encrypt(CK_MECHANISM m, CK_OBJECT_HANDLE key, Bytes in) {
    Bytes out(in.size() + 512);
    CK_ULONG length = size(out);
    EXPECT_EQ(C_EncryptInit(session, &m, key), CKR_OK);
    EXPECT_EQ(C_Encrypt(session, ptr(in), size(in), ptr(out), &length), CKR_OK);
    out.resize(length);
    return out;
}

}  // namespace simint
