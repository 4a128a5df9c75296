#include "operations.h"

#include <algorithm>
#include <vector>

#include "bench_error.h"

namespace orvo_bench {
namespace {

constexpr CK_ULONG kDigestInput = 1 << 20;
constexpr CK_ULONG kDigestPiece = 2000;

void random32(const Fixture& x) {
    CK_BYTE out[32];
    check(x.f->C_GenerateRandom(x.session, out, sizeof out), "C_GenerateRandom");
}

// One signature over a 32-byte input, as a caller signing a digest makes it.
void sign(const Fixture& x, CK_MECHANISM_TYPE type, CK_OBJECT_HANDLE key) {
    static const CK_BYTE hash[32] = {0x5a, 0x17, 0x01};
    CK_MECHANISM mechanism{type, nullptr, 0};
    check(x.f->C_SignInit(x.session, &mechanism, key), "C_SignInit");
    CK_BYTE signature[256];
    CK_ULONG length = sizeof signature;
    check(x.f->C_Sign(x.session, const_cast<CK_BYTE*>(hash), sizeof hash, signature, &length), "C_Sign");
}

void signEcdsa(const Fixture& x) { sign(x, CKM_ECDSA, x.ec.privateKey); }
void signRsa(const Fixture& x) { sign(x, CKM_SHA256_RSA_PKCS, x.rsa.privateKey); }

void threeAttributes(const Fixture& x) {
    CK_OBJECT_CLASS keyClass = 0;
    CK_KEY_TYPE keyType = 0;
    CK_BYTE point[80];
    CK_ATTRIBUTE attributes[] = {{CKA_CLASS, &keyClass, sizeof keyClass},
                                 {CKA_KEY_TYPE, &keyType, sizeof keyType},
                                 {CKA_EC_POINT, point, sizeof point}};
    check(x.f->C_GetAttributeValue(x.session, x.ec.publicKey, attributes, 3), "C_GetAttributeValue");
}

void openClose(const Fixture& x) {
    CK_SESSION_HANDLE session;
    check(x.f->C_OpenSession(x.slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session), "C_OpenSession");
    check(x.f->C_CloseSession(session), "C_CloseSession");
}

void digestMiB(const Fixture& x) {
    static const std::vector<CK_BYTE> input(kDigestInput, 0xA5);
    CK_MECHANISM mechanism{CKM_SHA256, nullptr, 0};
    check(x.f->C_DigestInit(x.session, &mechanism), "C_DigestInit");
    for (CK_ULONG at = 0; at < kDigestInput; at += kDigestPiece) {
        CK_ULONG piece = std::min(kDigestPiece, kDigestInput - at);
        check(x.f->C_DigestUpdate(x.session, const_cast<CK_BYTE*>(input.data()) + at, piece), "C_DigestUpdate");
    }
    CK_BYTE digest[32];
    CK_ULONG length = sizeof digest;
    check(x.f->C_DigestFinal(x.session, digest, &length), "C_DigestFinal");
}

}  // namespace

const Operation kOperations[] = {
    {"C_GenerateRandom(32)", "ops/s", 1, random32, {.ofRemoting = 1, .ofDirect = 0.5}},
    {"C_Sign ECDSA P-256", "ops/s", 1, signEcdsa, {.ofRemoting = 0.8, .ofDirect = 0.5}},
    {"C_Sign RSA-2048", "ops/s", 1, signRsa, {.ofRemoting = 0.8, .ofDirect = 0.5}},
    {"C_GetAttributeValue(3)", "ops/s", 1, threeAttributes, {.ofRemoting = 1}},
    {"C_OpenSession+Close", "ops/s", 1, openClose, {}},
    {"digest 1 MiB/2000 B", "MiB/s", 1, digestMiB, {.ofCanned = 0.85}},
};
const size_t kOperationCount = sizeof kOperations / sizeof kOperations[0];

}  // namespace orvo_bench
