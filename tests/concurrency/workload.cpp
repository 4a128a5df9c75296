#include "workload.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include <mbedtls/sha256.h>

namespace conc {
namespace {

constexpr size_t kShownFindings = 5;
const Bytes kP256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

// Checked against mbedtls called directly, not the simulator's own cryptography.
Bytes sha256Of(const Bytes& data) {
    Bytes out(32);
    mbedtls_sha256_ret(data.data(), data.size(), out.data(), 0);
    return out;
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 13 + seed);
    return b;
}

CK_UTF8CHAR_PTR utf8(const std::string& text) {
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(text.data()));
}

CK_ATTRIBUTE attribute(CK_ATTRIBUTE_TYPE type, const void* value, size_t length) {
    return CK_ATTRIBUTE{type, const_cast<void*>(value), CK_ULONG(length)};
}

Bytes valueOf(const std::string& label) {
    Bytes value;
    while (value.size() < 200) value.insert(value.end(), label.begin(), label.end());
    return value;
}

std::string hex(CK_RV rv) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%lX", static_cast<unsigned long>(rv));
    return text;
}

// One round of the operations, each checking its own result: a signature (with a token to sign
// with) and its verification, 4100 bytes digested in two updates (sent in pieces of at most 2000
// bytes), twice 1500 random bytes (two device calls each), the object's attributes, a search.
size_t runRound(CK_SESSION_HANDLE s, const std::string& label, CK_OBJECT_HANDLE object, const SigningToken* signing,
                size_t round, Findings& f) {
    if (signing) {
        Bytes hash = sha256Of(pattern(64, static_cast<uint8_t>(round)));
        CK_MECHANISM ecdsa = {CKM_ECDSA, nullptr, 0};
        Bytes signature(64);
        CK_ULONG length = CK_ULONG(signature.size());
        if (f.rv(C_SignInit(s, &ecdsa, signing->privateKey), "C_SignInit") &&
            f.rv(C_Sign(s, hash.data(), CK_ULONG(hash.size()), signature.data(), &length), "C_Sign") &&
            f.check(length == 64, "signature length") && f.rv(C_VerifyInit(s, &ecdsa, signing->publicKey), "C_VerifyInit"))
            f.rv(C_Verify(s, hash.data(), CK_ULONG(hash.size()), signature.data(), length), "C_Verify");
    }
    Bytes data = pattern(4100, static_cast<uint8_t>(round + label.size()));
    CK_MECHANISM sha256 = {CKM_SHA256, nullptr, 0};
    Bytes digest(32);
    CK_ULONG length = CK_ULONG(digest.size());
    if (f.rv(C_DigestInit(s, &sha256), "C_DigestInit") && f.rv(C_DigestUpdate(s, data.data(), 2500), "C_DigestUpdate") &&
        f.rv(C_DigestUpdate(s, data.data() + 2500, CK_ULONG(data.size() - 2500)), "C_DigestUpdate") &&
        f.rv(C_DigestFinal(s, digest.data(), &length), "C_DigestFinal"))
        f.check(length == 32 && digest == sha256Of(data), "digest differs");

    Bytes a(1500), b(1500);
    if (f.rv(C_GenerateRandom(s, a.data(), CK_ULONG(a.size())), "C_GenerateRandom") &&
        f.rv(C_GenerateRandom(s, b.data(), CK_ULONG(b.size())), "C_GenerateRandom"))
        f.check(a != b && a != Bytes(a.size(), 0), "random bytes repeat");

    char text[64] = {};
    Bytes value(256);
    CK_ATTRIBUTE wanted[] = {attribute(CKA_LABEL, text, sizeof text), attribute(CKA_VALUE, value.data(), value.size())};
    if (f.rv(C_GetAttributeValue(s, object, wanted, 2), "C_GetAttributeValue")) {
        value.resize(wanted[1].ulValueLen);
        f.check(std::string(text, wanted[0].ulValueLen) == label && value == valueOf(label), "attributes differ");
    }

    CK_ATTRIBUTE byLabel = attribute(CKA_LABEL, label.data(), label.size());
    CK_OBJECT_HANDLE found[4] = {};
    CK_ULONG count = 0;
    if (f.rv(C_FindObjectsInit(s, &byLabel, 1), "C_FindObjectsInit")) {
        if (f.rv(C_FindObjects(s, found, 4, &count), "C_FindObjects"))
            f.check(count == 1 && found[0] == object, "search found " + std::to_string(count) + " objects");
        f.rv(C_FindObjectsFinal(s), "C_FindObjectsFinal");
    }
    return signing ? 5 : 4;
}

}  // namespace

void Findings::add(const std::string& what) {
    if (first_.size() < kShownFindings) first_.push_back(what);
    ++count_;
}

bool Findings::rv(CK_RV got, const std::string& call, CK_RV want) {
    return check(got == want, call + " returned " + hex(got) + " instead of " + hex(want));
}

std::string Findings::text() const {
    if (count_ == 0) return "";
    std::string out = std::to_string(count_) + " findings:";
    for (const auto& line : first_) out += "\n  " + line;
    return out;
}

SigningToken initialisePreparedToken() {
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    EXPECT_EQ(C_Initialize(&args), CKR_OK);
    const CK_SLOT_ID slot = 0;
    Findings f;
    SigningToken token;
    std::string label = "concurrency";
    label.resize(32, ' ');
    CK_SESSION_HANDLE& s = token.session;
    if (!f.rv(C_InitToken(slot, utf8(kSoPin), CK_ULONG(kSoPin.size()), utf8(label)), "C_InitToken") ||
        !f.rv(C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s), "C_OpenSession") ||
        !f.rv(C_Login(s, CKU_SO, utf8(kSoPin), CK_ULONG(kSoPin.size())), "C_Login SO") ||
        !f.rv(C_InitPIN(s, utf8(kUserPin), CK_ULONG(kUserPin.size())), "C_InitPIN") ||
        !f.rv(C_Logout(s), "C_Logout") ||
        !f.rv(C_Login(s, CKU_USER, utf8(kUserPin), CK_ULONG(kUserPin.size())), "C_Login user")) {
        ADD_FAILURE() << f.text();
        return token;
    }
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE pub[] = {attribute(CKA_EC_PARAMS, kP256.data(), kP256.size()), attribute(CKA_TOKEN, &yes, 1),
                          attribute(CKA_VERIFY, &yes, 1)};
    CK_ATTRIBUTE priv[] = {attribute(CKA_TOKEN, &yes, 1), attribute(CKA_SIGN, &yes, 1)};
    CK_MECHANISM generate = {CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    f.rv(C_GenerateKeyPair(s, &generate, pub, 3, priv, 2, &token.publicKey, &token.privateKey), "C_GenerateKeyPair");
    EXPECT_EQ(f.text(), "");
    return token;
}

size_t runWorker(CK_SLOT_ID slot, const std::string& label, const SigningToken* signing,
                 const std::function<bool()>& more, Findings& f) {
    CK_SESSION_HANDLE s = 0;
    if (!f.rv(C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s), "C_OpenSession"))
        return 0;
    CK_OBJECT_CLASS dataClass = CKO_DATA;
    CK_BBOOL no = CK_FALSE;
    Bytes value = valueOf(label);
    CK_ATTRIBUTE data[] = {attribute(CKA_CLASS, &dataClass, sizeof dataClass), attribute(CKA_TOKEN, &no, 1),
                           attribute(CKA_LABEL, label.data(), label.size()),
                           attribute(CKA_VALUE, value.data(), value.size())};
    CK_OBJECT_HANDLE object = 0;
    size_t done = 0;
    if (f.rv(C_CreateObject(s, data, 4, &object), "C_CreateObject"))
        for (size_t round = 0; more(); ++round) done += runRound(s, label, object, signing, round, f);
    f.rv(C_CloseSession(s), "C_CloseSession");
    return done;
}

}  // namespace conc
