// The token configuration: read as one record, changed value by value. The limits take effect
// at once: PIN checks count against the failure limit, new PINs must fit the length limits,
// and idle sessions end after the timeout.
#include "admin_handlers.h"

namespace dravenholt::sim {
namespace {

constexpr uint32_t kLargestSetting = 255;  // each travels as one byte to the caller

// Checks and applies a change for the security officer, persisting it.
template <class Change>
Rv changeConfig(Device& d, Change&& change) {
    if (Rv rv = officerOnly(d); rv != CKR_OK) return rv;
    TokenConfig next = d.token.record.config;
    if (Rv rv = change(next); rv != CKR_OK) return rv;
    Device::Snapshot before = d.snapshot();
    d.token.record.config = next;
    return d.commit(before);
}

}  // namespace

Rv getTokenConfig(Device& d, const Request&, Response& resp) {
    const TokenConfig& c = d.token.record.config;
    TokenConfigMsg m = TokenConfigMsg_init_zero;
    m.has_value1 = m.has_value2 = m.has_value3 = m.has_value4 = true;
    m.value1 = c.maxLoginFailures;
    m.value2 = c.sessionTimeout;
    m.value3 = c.minPinLen;
    m.value4 = c.bitOptions;
    resp.config = m;
    return CKR_OK;
}

// One limit serves both PINs; selector 0 names it.
Rv setMaxLoginFailures(Device& d, const Request& req, Response&) {
    if (!req.handle || !req.value || *req.value != 0) return CKR_ARGUMENTS_BAD;
    const uint32_t count = *req.handle;
    if (count == 0 || count > kLargestSetting) return CKR_ARGUMENTS_BAD;
    return changeConfig(d, [&](TokenConfig& c) {
        c.maxLoginFailures = count;
        return Rv(CKR_OK);
    });
}

// Minutes a session may stay unused; 0: no limit.
Rv setSessionTimeout(Device& d, const Request& req, Response&) {
    if (!req.handle || *req.handle > kLargestSetting) return CKR_ARGUMENTS_BAD;
    return changeConfig(d, [&](TokenConfig& c) {
        c.sessionTimeout = *req.handle;
        return Rv(CKR_OK);
    });
}

// Field 6 the shortest PIN, field 12 the longest; PINs already set stay valid.
Rv setPinLengths(Device& d, const Request& req, Response&) {
    if (!req.handle || !req.handle2) return CKR_ARGUMENTS_BAD;
    const uint32_t shortest = *req.handle, longest = *req.handle2;
    if (shortest == 0 || shortest > longest || longest > kLargestSetting) return CKR_ARGUMENTS_BAD;
    return changeConfig(d, [&](TokenConfig& c) {
        c.minPinLen = shortest;
        c.maxPinLen = longest;
        return Rv(CKR_OK);
    });
}

// Sixteen option bits, kept and reported; the simulated token gives none of them a meaning.
Rv setBitOptions(Device& d, const Request& req, Response&) {
    if (!req.config || !req.config->has_value4 || req.config->value4 > 0xFFFF) return CKR_ARGUMENTS_BAD;
    return changeConfig(d, [&](TokenConfig& c) {
        c.bitOptions = req.config->value4;
        return Rv(CKR_OK);
    });
}

}  // namespace dravenholt::sim
