// Random numbers: asked of the device in pieces of at most 1024 bytes under one lock; seeding.
#include "protocol/function_ids.h"
#include "token/operation.h"
#include "token/operations.h"

using namespace dravenholt;

namespace {
constexpr CK_ULONG kRandomPiece = 1024;
}

CK_RV ops::C_GenerateRandom(Context& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen) {
    Entry entry(context, "C_GenerateRandom");
    return entry.check(pRandomData != nullptr).locked([&] {
        CK_RV rv = CKR_OK;
        forPieces(ulRandomLen, kRandomPiece, [&](CK_ULONG offset, CK_ULONG piece) {
            if (piece == 0) return false;
            // A piece is the device's only when all of it came: a short one would hand back
            // whatever the caller's buffer held as random bytes.
            rv = entry.inSession(hSession, fn::GenerateRandom, [&](DeviceCall& call) {
                return call.length(piece).output(pRandomData + offset, piece).needs(kNeedsFullOutput).run(context);
            });
            return rv == CKR_OK;
        });
        return rv;
    });
}

CK_RV ops::C_SeedRandom(Context& context, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen) {
    Entry entry(context, "C_SeedRandom");
    return entry.check(pSeed && ulSeedLen != 0).session(hSession, fn::SeedRandom, [&](DeviceCall& call) {
        return call.data(pSeed, ulSeedLen).run(context);
    });
}
