// Administration requests against one engine: the storage image moved as the library moves it,
// and the identifiers of the administration calls.
#pragma once

#include "harness.h"

namespace simtest {

enum AdminFn : uint32_t {
    kReadLog = 45, kGetConfig = 53, kSetLoginLimit = 54, kSetTimeout = 55, kSetPinLengths = 56,
    kFactoryReset = 57, kBackup = 59, kRestore = 60, kSetBitOptions = 61, kImportBitcoin = 62,
    kBitcoinPub = 63, kBitcoinSign = 64,
};

constexpr uint32_t kNoBitcoinKey = 0x80000001, kBitcoinKeyExists = 0x80000002;

inline Request adminRequest(uint32_t function, std::optional<uint32_t> handle = std::nullopt,
                            std::optional<uint32_t> handle2 = std::nullopt) {
    Request r = Call(function).r;
    r.handle = handle;
    r.handle2 = handle2;
    return r;
}

struct Backup {
    uint32_t rv = 0;
    Bytes image;
    int pieces = 0;
};

// Pieces until the device answers anything but CKR_OPERATION_ACTIVE.
inline Backup backup(Device& d, uint32_t capacity = 1u << 20) {
    Backup out;
    std::optional<uint32_t> continuation;
    for (;;) {
        Request r = adminRequest(kBackup, continuation);
        r.length = capacity;
        Response resp = d.call(r);
        out.rv = resp.rv;
        if (resp.rv != CKR_OK && resp.rv != CKR_OPERATION_ACTIVE) return out;
        ++out.pieces;
        if (resp.data) out.image.insert(out.image.end(), resp.data->begin(), resp.data->end());
        if (resp.rv == CKR_OK || !resp.handle) return out;
        continuation = resp.handle;
    }
}

// Pieces of `piece` bytes with the total in field 6 and the offset past each in field 12.
inline uint32_t restore(Device& d, const Bytes& image, size_t piece = 1536, size_t total = 0) {
    if (total == 0) total = image.size();
    uint32_t rv = CKR_OK;
    size_t sent = 0;
    do {
        size_t n = std::min(piece, image.size() - sent);
        Request r = adminRequest(kRestore, uint32_t(total), uint32_t(sent + n));
        r.data = Bytes(image.begin() + long(sent), image.begin() + long(sent + n));
        sent += n;
        rv = d.call(r).rv;
    } while (rv == CKR_OPERATION_ACTIVE && sent < image.size());
    return rv;
}

inline TokenConfigMsg config(Device& d) {
    Response resp = d.call(adminRequest(kGetConfig));
    EXPECT_EQ(resp.rv, CKR_OK);
    return resp.config.value_or(TokenConfigMsg{});
}

inline std::string readLog(Device& d) {
    Response resp = d.call(Call(kReadLog).length(4096));
    EXPECT_EQ(resp.rv, CKR_OK);
    Bytes log = resp.data.value_or(Bytes{});
    return std::string(log.begin(), log.end());
}

}  // namespace simtest
