// Random numbers: asked of the device in pieces of at most 1024 bytes under one lock; seeding.
#include <algorithm>

#include "protocol/function_ids.h"
#include "token/operation.h"

using namespace dravenholt;

namespace {
constexpr CK_ULONG kRandomPiece = 1024;
}

CK_RV CContext::C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen) {
    Entry entry(*this, "C_GenerateRandom");
    return entry.check(pRandomData != nullptr).locked([&] {
        CK_RV rv = CKR_OK;
        for (CK_ULONG offset = 0; rv == CKR_OK && offset < ulRandomLen;) {
            CK_ULONG piece = std::min(ulRandomLen - offset, kRandomPiece);
            rv = entry.inSession(hSession, fn::GenerateRandom, [&](DeviceCall& call) {
                return call.length(piece).output(pRandomData + offset, piece).run(*this);
            });
            offset += piece;
        }
        return rv;
    });
}

CK_RV CContext::C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen) {
    Entry entry(*this, "C_SeedRandom");
    return entry.check(pSeed && ulSeedLen != 0).session(hSession, fn::SeedRandom, [&](DeviceCall& call) {
        return call.data(pSeed, ulSeedLen).run(*this);
    });
}
