// Key generation, derivation, wrapping and unwrapping on the wire, and the key-pair timeout.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "protocol/function_ids.h"
#include "unit/device_fixture.h"

using namespace orvotest;
namespace fn = dravenholt::fn;

namespace {

class Keys : public SessionTest {
protected:
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE publicTmpl[1] = {{CKA_VERIFY, &yes, 1}};
    CK_ATTRIBUTE privateTmpl[2] = {{CKA_SIGN, &yes, 1}, {CKA_SENSITIVE, &yes, 1}};
    CK_OBJECT_HANDLE pub = 0, priv = 0, key = 0;
};

Response handles(uint32_t rv, std::optional<uint32_t> first, std::optional<uint32_t> second = {}) {
    Response r;
    r.rv = rv;
    r.handle = first;
    r.handle2 = second;
    return r;
}

TEST_F(Keys, GenerateKeySendsTypeAndRawBlockWithoutLength) {
    uint8_t params[3] = {1, 2, 3};
    CK_MECHANISM mech = {CKM_AES_KEY_GEN, params, sizeof params};
    device->answer(reply(handles(CKR_OK, 0x80)));
    EXPECT_EQ(C_GenerateKey(session, &mech, publicTmpl, 1, &key), CKR_OK);
    EXPECT_EQ(key, 0x80u);
    Request r = only();
    EXPECT_EQ(r.function, fn::GenerateKey);
    ASSERT_TRUE(r.mechanism);
    EXPECT_EQ(r.mechanism->mechanism, CKM_AES_KEY_GEN);
    EXPECT_FALSE(r.mechanism->parameterLength);
    EXPECT_EQ(r.mechanism->parameter, Bytes(params, params + 3));
    ASSERT_EQ(r.templ.size(), 1u);
    EXPECT_EQ(r.templ[0].type, CKA_VERIFY);

    key = 5;
    device->answer(reply(CKR_TEMPLATE_INCONSISTENT));
    EXPECT_EQ(C_GenerateKey(session, &mech, publicTmpl, 1, &key), CKR_TEMPLATE_INCONSISTENT);
    EXPECT_EQ(key, 5u);  // no handle in the reply
}

TEST_F(Keys, GenerateKeyPairRunsWithTheKeyTimeoutAndRestoresIt) {
    CK_MECHANISM mech = {CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    uint32_t during = 0;
    device->answer([&](const Request&) {
        during = device->timeout;  // the device's mutex is held while it answers
        return encode(handles(CKR_OK, 10, 11));
    });
    EXPECT_EQ(C_GenerateKeyPair(session, &mech, publicTmpl, 1, privateTmpl, 2, &pub, &priv), CKR_OK);
    EXPECT_EQ(during, 65000u);
    EXPECT_EQ(device->timeout, 12000u);
    EXPECT_EQ(pub, 10u);
    EXPECT_EQ(priv, 11u);
    Request r = only();
    EXPECT_EQ(r.function, fn::GenerateKeyPair);
    EXPECT_EQ(r.mechanism->mechanism, CKM_EC_KEY_PAIR_GEN);
    EXPECT_EQ(r.mechanism->parameter, Bytes{});
    EXPECT_FALSE(r.mechanism->parameterLength);
    ASSERT_EQ(r.templ.size(), 1u);
    ASSERT_EQ(r.templ2.size(), 2u);
    EXPECT_EQ(r.templ2[1].type, CKA_SENSITIVE);

    // A failed exchange restores the timeout as well, and leaves the handles alone.
    device->answer(replyRaw({}));
    EXPECT_EQ(C_GenerateKeyPair(session, &mech, publicTmpl, 1, privateTmpl, 2, &pub, &priv), CKR_FUNCTION_FAILED);
    EXPECT_EQ(device->timeouts, (std::vector<uint32_t>{12000, 65000, 12000, 65000, 12000}));
    EXPECT_EQ(pub, 10u);
}

class ConfiguredKeyTimeout : public Keys {
    std::string configuration() const override { return R"({"timeout": 5000, "keytimeout": 30000.7})"; }
};

TEST_F(ConfiguredKeyTimeout, GenerateKeyPairUsesTheConfiguredValue) {
    CK_MECHANISM mech = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    device->answer(reply(handles(CKR_OK, 1, 2)));
    EXPECT_EQ(C_GenerateKeyPair(session, &mech, publicTmpl, 1, privateTmpl, 0, &pub, &priv), CKR_OK);
    EXPECT_EQ(device->timeouts, (std::vector<uint32_t>{5000, 30000, 5000}));
}

TEST_F(Keys, DeriveSendsEncodedMechanismBaseKeyAndTemplate) {
    uint8_t point[65];
    std::memset(point, 0x04, sizeof point);
    CK_ECDH1_DERIVE_PARAMS ecdh = {CKD_NULL, 0, nullptr, sizeof point, point};
    CK_MECHANISM mech = {CKM_ECDH1_DERIVE, &ecdh, sizeof ecdh};
    device->answer(reply(handles(CKR_OK, 0x33)));
    EXPECT_EQ(C_DeriveKey(session, &mech, 0x21, nullptr, 0, &key), CKR_OK);
    EXPECT_EQ(key, 0x33u);
    Request r = only();
    EXPECT_EQ(r.function, fn::DeriveKey);
    EXPECT_EQ(r.handle, 0x21u);
    EXPECT_TRUE(r.templ.empty());
    ASSERT_TRUE(r.mechanism && r.mechanism->ecdhParams);
    EXPECT_EQ(r.mechanism->ecdhParams->publicData, Bytes(point, point + sizeof point));
    EXPECT_FALSE(r.mechanism->parameter);
}

TEST_F(Keys, WrapSendsKeysCapacityAndTheBlockInTheDeviceLayout) {
    CK_RSA_PKCS_OAEP_PARAMS oaep = {CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, nullptr, 0};
    CK_MECHANISM mech = {CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep};
    std::vector<uint8_t> wrapped(300, 0);
    CK_ULONG length = wrapped.size();
    device->answer(output(Bytes(256, 0xC3)));
    EXPECT_EQ(C_WrapKey(session, &mech, 0x10, 0x20, wrapped.data(), &length), CKR_OK);
    EXPECT_EQ(length, 256u);  // no field 4: the bytes received
    EXPECT_EQ(wrapped[255], 0xC3);
    EXPECT_EQ(wrapped[256], 0);
    Request q = only();
    EXPECT_EQ(q.function, fn::WrapKey);
    EXPECT_EQ(q.handle, 0x20u);
    EXPECT_EQ(q.handle2, 0x10u);
    EXPECT_EQ(q.length, 300u);
    EXPECT_FALSE(q.lengthOnly);
    EXPECT_EQ(q.mechanism->parameterLength, 24u);  // the packed 32-bit layout, not the host's
    ASSERT_TRUE(q.mechanism->parameter);
    EXPECT_EQ(q.mechanism->parameter->size(), 24u);
    EXPECT_FALSE(q.mechanism->oaepParams);  // the direct fill never takes a block apart
}

TEST_F(Keys, WrapLengthQueryAndBrokenReplies) {
    CK_MECHANISM mech = {CKM_AES_KEY_WRAP, nullptr, 0};
    CK_ULONG length = 7;
    device->answer(lengthOnly(40));
    EXPECT_EQ(C_WrapKey(session, &mech, 1, 2, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 40u);
    EXPECT_FALSE(sent().back().length);
    EXPECT_EQ(sent().back().lengthOnly, true);

    // More bytes than the buffer holds: the call fails and nothing lands past the buffer.
    auto buffer = std::make_unique<uint8_t[]>(8);
    length = 8;
    device->answer(output(Bytes(9, 0xAA)));
    EXPECT_EQ(C_WrapKey(session, &mech, 1, 2, buffer.get(), &length), CKR_FUNCTION_FAILED);
    EXPECT_EQ(length, 8u);

    EXPECT_EQ(sent().size(), 2u);
}

TEST_F(Keys, UnwrapNormalisesACopyOfRsaPkcsAndSendsWrappedKeyAndTemplate) {
    uint8_t junk[4] = {9, 9, 9, 9};
    CK_MECHANISM mech = {CKM_RSA_PKCS, junk, sizeof junk};
    uint8_t wrappedKey[5] = {1, 2, 3, 4, 5};
    device->answer(reply(handles(CKR_OK, 0x44)));
    EXPECT_EQ(C_UnwrapKey(session, &mech, 0x12, wrappedKey, 5, privateTmpl, 2, &key), CKR_OK);
    EXPECT_EQ(key, 0x44u);
    EXPECT_EQ(mech.pParameter, junk);  // the caller's mechanism is only read
    EXPECT_EQ(mech.ulParameterLen, sizeof junk);
    Request r = only();
    EXPECT_EQ(r.function, fn::UnwrapKey);
    EXPECT_EQ(r.handle, 0x12u);
    EXPECT_EQ(r.data, Bytes(wrappedKey, wrappedKey + 5));
    EXPECT_EQ(r.templ.size(), 2u);
    EXPECT_EQ(r.mechanism->parameterLength, 0u);
    EXPECT_EQ(r.mechanism->parameter, Bytes{});

    CK_MECHANISM aes = {CKM_AES_KEY_WRAP, nullptr, 8};
    device->answer(reply(CKR_WRAPPED_KEY_INVALID));
    EXPECT_EQ(C_UnwrapKey(session, &aes, 0x12, wrappedKey, 5, nullptr, 0, &key), CKR_WRAPPED_KEY_INVALID);
    EXPECT_EQ(key, 0x44u);
    EXPECT_EQ(aes.ulParameterLen, 8u);
    EXPECT_EQ(sent().back().mechanism->parameterLength, 0u);

    EXPECT_EQ(sent().size(), 2u);
}

}  // namespace
