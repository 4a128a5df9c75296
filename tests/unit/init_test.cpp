// The operation init calls on the wire: the session, the key, the mechanism with its block as
// each family sends it (encryption with the wire length, signing re-laid out by the direct fill,
// digesting without a length), nothing else; the device's answer is the result.
#include <functional>

#include "protocol/function_ids.h"
#include "unit/device_fixture.h"

using namespace orvotest;
namespace fn = dravenholt::fn;

namespace {

using Init = SessionTest;

TEST_F(Init, EachFamilySendsItsMechanismAndKey) {
    CK_BYTE iv[16] = {1, 2, 3}, odd[3] = {1, 2, 3};
    CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
    CK_MECHANISM cbc{CKM_AES_CBC, iv, sizeof iv}, noBlock{CKM_AES_CBC, nullptr, 16}, pssM{CKM_SHA256_RSA_PKCS_PSS, &pss, sizeof pss},
        sha{CKM_SHA256, nullptr, 0}, shaOdd{CKM_SHA256, odd, sizeof odd};
    const Bytes pssWire{0x50, 0x02, 0, 0, 0x02, 0, 0, 0, 32, 0, 0, 0};
    struct Case {
        std::function<CK_RV()> call;
        CK_RV rv;  // the device's answer, passed through
        uint32_t function;
        CK_MECHANISM_TYPE type;
        std::optional<uint32_t> key, parameterLength;
        Bytes parameter;
        const char* logLine;
    } cases[] = {
        {[&] { return C_EncryptInit(session, &cbc, 0x42); }, CKR_OK, fn::EncryptInit, CKM_AES_CBC, 0x42, 16, Bytes(iv, iv + 16),
         "TRACE : Mechanism: 0x00001082\n"},
        {[&] { return C_DecryptInit(session, &cbc, 0x43); }, CKR_KEY_TYPE_INCONSISTENT, fn::DecryptInit, CKM_AES_CBC, 0x43, 16,
         Bytes(iv, iv + 16), ""},
        // Not refused by C_DecryptInit: a missing block goes as an empty one.
        {[&] { return C_DecryptInit(session, &noBlock, 1); }, CKR_OK, fn::DecryptInit, CKM_AES_CBC, 1, 0, Bytes{}, ""},
        {[&] { return C_SignInit(session, &pssM, 5); }, CKR_OK, fn::SignInit, CKM_SHA256_RSA_PKCS_PSS, 5, 12, pssWire,
         "TRACE : Mechanism: 0x00000043 Paramlen: c\n"},
        {[&] { return C_VerifyInit(session, &pssM, 6); }, 0x60, fn::VerifyInit, CKM_SHA256_RSA_PKCS_PSS, 6, 12, pssWire,
         "INFO : SignVerifyInit returned 0x60\n"},
        {[&] { return C_DigestInit(session, &sha); }, CKR_OK, fn::DigestInit, CKM_SHA256, std::nullopt, std::nullopt, Bytes{}, ""},
        {[&] { return C_DigestInit(session, &shaOdd); }, CKR_OK, fn::DigestInit, CKM_SHA256, std::nullopt, std::nullopt,
         Bytes(odd, odd + 3), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.function);
        device->requests.clear();
        device->answer(reply(c.rv));
        EXPECT_EQ(c.call(), c.rv);
        Request r = only();
        EXPECT_EQ(r.function, c.function);
        EXPECT_EQ(r.handle, c.key);
        ASSERT_TRUE(r.mechanism);
        EXPECT_EQ(r.mechanism->mechanism, c.type);
        EXPECT_EQ(r.mechanism->parameterLength, c.parameterLength);
        EXPECT_EQ(r.mechanism->parameter, c.parameter);
        EXPECT_FALSE(r.data || r.lengthOnly || r.length || r.handle2 || !r.templ.empty());
        EXPECT_TRUE(logged(c.logLine)) << c.logLine;
    }
    EXPECT_FALSE(logged("Mechanism: 0x00000250"));  // a digest's mechanism is not traced
}

}  // namespace
