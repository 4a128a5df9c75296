#include "workload.h"

#include <cstdio>
#include <cstring>

#include "reference/reference.h"

namespace conc {
namespace {

constexpr size_t kShownFindings = 5;
const Bytes kP256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

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

// The operations of one round, each checking its own result.
class Rounds {
public:
    Rounds(CK_SESSION_HANDLE session, const std::string& label, CK_OBJECT_HANDLE object,
           const SigningToken* signing, Findings& findings)
        : s_(session), label_(label), value_(valueOf(label)), object_(object), signing_(signing), f_(findings) {}

    size_t run(size_t round) {
        size_t done = 0;
        if (signing_) done += sign(round);
        done += digest(round) + random() + readAttributes() + search();
        return done;
    }

private:
    size_t sign(size_t round) {
        Bytes hash = simref::md(MBEDTLS_MD_SHA256, simref::pattern(64, static_cast<uint8_t>(round)));
        CK_MECHANISM ecdsa = {CKM_ECDSA, nullptr, 0};
        Bytes signature(64);
        CK_ULONG length = CK_ULONG(signature.size());
        if (!f_.rv(C_SignInit(s_, &ecdsa, signing_->privateKey), "C_SignInit") ||
            !f_.rv(C_Sign(s_, hash.data(), CK_ULONG(hash.size()), signature.data(), &length), "C_Sign") ||
            !f_.check(length == 64, "signature length"))
            return 1;
        if (f_.rv(C_VerifyInit(s_, &ecdsa, signing_->publicKey), "C_VerifyInit"))
            f_.rv(C_Verify(s_, hash.data(), CK_ULONG(hash.size()), signature.data(), length), "C_Verify");
        return 1;
    }

    // 4100 bytes in two updates: the library sends them in pieces of at most 2000 bytes.
    size_t digest(size_t round) {
        Bytes data = simref::pattern(4100, static_cast<uint8_t>(round + label_.size()));
        CK_MECHANISM sha256 = {CKM_SHA256, nullptr, 0};
        Bytes digest(32);
        CK_ULONG length = CK_ULONG(digest.size());
        if (f_.rv(C_DigestInit(s_, &sha256), "C_DigestInit") &&
            f_.rv(C_DigestUpdate(s_, data.data(), 2500), "C_DigestUpdate") &&
            f_.rv(C_DigestUpdate(s_, data.data() + 2500, CK_ULONG(data.size() - 2500)), "C_DigestUpdate") &&
            f_.rv(C_DigestFinal(s_, digest.data(), &length), "C_DigestFinal"))
            f_.check(length == 32 && digest == simref::md(MBEDTLS_MD_SHA256, data), "digest differs");
        return 1;
    }

    // 1500 bytes (two device calls) twice: both filled, and not alike.
    size_t random() {
        Bytes a(1500), b(1500);
        if (f_.rv(C_GenerateRandom(s_, a.data(), CK_ULONG(a.size())), "C_GenerateRandom") &&
            f_.rv(C_GenerateRandom(s_, b.data(), CK_ULONG(b.size())), "C_GenerateRandom"))
            f_.check(a != b && a != Bytes(a.size(), 0), "random bytes repeat");
        return 1;
    }

    size_t readAttributes() {
        char label[64] = {};
        Bytes value(256);
        CK_ATTRIBUTE wanted[] = {attribute(CKA_LABEL, label, sizeof label),
                                 attribute(CKA_VALUE, value.data(), value.size())};
        if (f_.rv(C_GetAttributeValue(s_, object_, wanted, 2), "C_GetAttributeValue")) {
            value.resize(wanted[1].ulValueLen);
            f_.check(std::string(label, wanted[0].ulValueLen) == label_ && value == value_, "attributes differ");
        }
        return 1;
    }

    size_t search() {
        CK_ATTRIBUTE byLabel = attribute(CKA_LABEL, label_.data(), label_.size());
        CK_OBJECT_HANDLE found[4] = {};
        CK_ULONG count = 0;
        if (f_.rv(C_FindObjectsInit(s_, &byLabel, 1), "C_FindObjectsInit")) {
            if (f_.rv(C_FindObjects(s_, found, 4, &count), "C_FindObjects"))
                f_.check(count == 1 && found[0] == object_, "search found " + std::to_string(count) + " objects");
            f_.rv(C_FindObjectsFinal(s_), "C_FindObjectsFinal");
        }
        return 1;
    }

    CK_SESSION_HANDLE s_;
    const std::string label_;
    const Bytes value_;
    CK_OBJECT_HANDLE object_;
    const SigningToken* signing_;
    Findings& f_;
};

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

SigningToken prepareSigningToken(CK_SLOT_ID slot, Findings& f) {
    SigningToken token;
    std::string label = "concurrency";
    label.resize(32, ' ');
    CK_SESSION_HANDLE& s = token.session;
    if (!f.rv(C_InitToken(slot, utf8(kSoPin), CK_ULONG(kSoPin.size()), utf8(label)), "C_InitToken") ||
        !f.rv(C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s), "C_OpenSession") ||
        !f.rv(C_Login(s, CKU_SO, utf8(kSoPin), CK_ULONG(kSoPin.size())), "C_Login SO") ||
        !f.rv(C_InitPIN(s, utf8(kUserPin), CK_ULONG(kUserPin.size())), "C_InitPIN") ||
        !f.rv(C_Logout(s), "C_Logout") ||
        !f.rv(C_Login(s, CKU_USER, utf8(kUserPin), CK_ULONG(kUserPin.size())), "C_Login user"))
        return token;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE pub[] = {attribute(CKA_EC_PARAMS, kP256.data(), kP256.size()), attribute(CKA_TOKEN, &yes, 1),
                          attribute(CKA_VERIFY, &yes, 1)};
    CK_ATTRIBUTE priv[] = {attribute(CKA_TOKEN, &yes, 1), attribute(CKA_SIGN, &yes, 1)};
    CK_MECHANISM generate = {CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    f.rv(C_GenerateKeyPair(s, &generate, pub, 3, priv, 2, &token.publicKey, &token.privateKey), "C_GenerateKeyPair");
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
    if (f.rv(C_CreateObject(s, data, 4, &object), "C_CreateObject")) {
        Rounds rounds(s, label, object, signing, f);
        for (size_t round = 0; more(); ++round) done += rounds.run(round);
    }
    f.rv(C_CloseSession(s), "C_CloseSession");
    return done;
}

}  // namespace conc
