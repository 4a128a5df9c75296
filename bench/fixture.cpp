#include "fixture.h"

#include <cstring>

#include "bench_error.h"

namespace orvo_bench {
namespace {

CK_UTF8CHAR_PTR pin(const char* text) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(text)); }

// A key pair for signing, session objects both; `shape` is the public key's curve or size.
Fixture::KeyPair keyPair(const Fixture& x, CK_MECHANISM_TYPE type, CK_ATTRIBUTE shape) {
    CK_MECHANISM mechanism{type, nullptr, 0};
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    CK_ATTRIBUTE publicTemplate[] = {{CKA_TOKEN, &no, sizeof no}, {CKA_VERIFY, &yes, sizeof yes}, shape};
    CK_ATTRIBUTE privateTemplate[] = {
        {CKA_TOKEN, &no, sizeof no}, {CKA_SIGN, &yes, sizeof yes}, {CKA_PRIVATE, &yes, sizeof yes}};
    Fixture::KeyPair pair;
    check(x.f->C_GenerateKeyPair(x.session, &mechanism, publicTemplate, 3, privateTemplate, 3, &pair.publicKey,
                                 &pair.privateKey),
          "C_GenerateKeyPair");
    return pair;
}

}  // namespace

void initialiseToken(CK_FUNCTION_LIST* f, CK_SLOT_ID slot) {
    CK_TOKEN_INFO info{};
    check(f->C_GetTokenInfo(slot, &info), "C_GetTokenInfo");
    if (info.flags & CKF_TOKEN_INITIALIZED) return;
    CK_UTF8CHAR label[32];
    std::memset(label, ' ', sizeof label);
    std::memcpy(label, "bench", 5);
    check(f->C_InitToken(slot, pin(kSoPin), std::strlen(kSoPin), label), "C_InitToken");
    CK_SESSION_HANDLE session;
    check(f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session), "C_OpenSession");
    check(f->C_Login(session, CKU_SO, pin(kSoPin), std::strlen(kSoPin)), "C_Login (SO)");
    check(f->C_InitPIN(session, pin(kUserPin), std::strlen(kUserPin)), "C_InitPIN");
    check(f->C_CloseSession(session), "C_CloseSession");
}

Fixture prepareFixture(CK_FUNCTION_LIST* f, CK_SLOT_ID slot) {
    initialiseToken(f, slot);
    Fixture fixture;
    fixture.f = f;
    fixture.slot = slot;
    check(f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &fixture.session),
          "C_OpenSession");
    CK_RV rv = f->C_Login(fixture.session, CKU_USER, pin(kUserPin), std::strlen(kUserPin));
    if (rv != CKR_USER_ALREADY_LOGGED_IN) check(rv, "C_Login");

    CK_BYTE p256[] = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};
    fixture.ec = keyPair(fixture, CKM_EC_KEY_PAIR_GEN, {CKA_EC_PARAMS, p256, sizeof p256});
    CK_ULONG bits = 2048;
    fixture.rsa = keyPair(fixture, CKM_RSA_PKCS_KEY_PAIR_GEN, {CKA_MODULUS_BITS, &bits, sizeof bits});
    return fixture;
}

}  // namespace orvo_bench
