#include "sim_fixture.h"

#include <cstring>

#include "frame/context.h"

namespace simint {

Template& Template::add(CK_ATTRIBUTE_TYPE type, const void* value, size_t length) {
    values_.emplace_back(static_cast<const uint8_t*>(value), static_cast<const uint8_t*>(value) + length);
    types_.push_back(type);
    return *this;
}

CK_ATTRIBUTE_PTR Template::data() {
    attrs_.clear();
    for (size_t i = 0; i < values_.size(); ++i) attrs_.push_back(CK_ATTRIBUTE{types_[i], values_[i].data(), CK_ULONG(values_[i].size())});
    return attrs_.empty() ? &none_ : attrs_.data();
}

void SimTest::SetUp() { dir.useAsConfig(); }

void SimTest::TearDown() { stop(); }

void SimTest::start(size_t count, const std::string& stateDir) {
    devices = dravenholt::sim::installSimulatedDevices(getContext(), count, stateDir);
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    running_ = true;
}

void SimTest::stop() {
    if (running_) C_Finalize(nullptr);
    running_ = false;
    devices.reset();
}

void SimTest::initToken(CK_SLOT_ID slot) {
    std::string label = "integration";
    label.resize(32, ' ');
    ASSERT_EQ(C_InitToken(slot, pin(kSoPin), CK_ULONG(kSoPin.size()), pin(label)), CKR_OK);
}

CK_SESSION_HANDLE SimTest::readyUser(CK_SLOT_ID slot) {
    initToken(slot);
    CK_SESSION_HANDLE s = 0;
    EXPECT_EQ(C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s), CKR_OK);
    EXPECT_EQ(C_Login(s, CKU_SO, pin(kSoPin), CK_ULONG(kSoPin.size())), CKR_OK);
    EXPECT_EQ(C_InitPIN(s, pin(kUserPin), CK_ULONG(kUserPin.size())), CKR_OK);
    EXPECT_EQ(C_Logout(s), CKR_OK);
    EXPECT_EQ(C_Login(s, CKU_USER, pin(kUserPin), CK_ULONG(kUserPin.size())), CKR_OK);
    return s;
}

CK_OBJECT_HANDLE SimTest::create(CK_SESSION_HANDLE s, Template templ) {
    CK_OBJECT_HANDLE h = 0;
    EXPECT_EQ(C_CreateObject(s, templ.data(), templ.size(), &h), CKR_OK);
    return h;
}

CK_OBJECT_HANDLE SimTest::secretKey(CK_SESSION_HANDLE s, CK_KEY_TYPE type, const Bytes& value, Template extra) {
    return create(s, extra.ulong(CKA_CLASS, CKO_SECRET_KEY).ulong(CKA_KEY_TYPE, type).bytes(CKA_VALUE, value));
}

std::pair<CK_OBJECT_HANDLE, CK_OBJECT_HANDLE> SimTest::keyPair(CK_SESSION_HANDLE s, CK_MECHANISM_TYPE mechanism, Template pub,
                                                               Template priv) {
    CK_MECHANISM m = {mechanism, nullptr, 0};
    CK_OBJECT_HANDLE hPub = 0, hPriv = 0;
    EXPECT_EQ(C_GenerateKeyPair(s, &m, pub.data(), pub.size(), priv.data(), priv.size(), &hPub, &hPriv), CKR_OK);
    return {hPub, hPriv};
}

Bytes SimTest::attribute(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a = {type, nullptr, 0};
    EXPECT_EQ(C_GetAttributeValue(s, object, &a, 1), CKR_OK);
    if (a.ulValueLen == CK_UNAVAILABLE_INFORMATION) return {};
    Bytes value(a.ulValueLen);
    a.pValue = value.data();
    EXPECT_EQ(C_GetAttributeValue(s, object, &a, 1), CKR_OK);
    value.resize(a.ulValueLen);
    return value;
}

}  // namespace simint
