// Administration requests: the storage image, factory reset, the token configuration, the
// device log and the Bitcoin key slot; and the steps the engine runs around every request for
// them (session timeouts, the device log).
#pragma once

#include "handlers.h"

namespace dravenholt::sim {

// Storage image and reset.
Rv backupStorage(Device&, const Request&, Response&);
Rv restoreStorage(Device&, const Request&, Response&);
Rv factoryReset(Device&, const Request&, Response&);

// Configuration: value1 login failure limit, value2 session timeout in minutes, value3 minimum
// PIN length, value4 bit options.
Rv getTokenConfig(Device&, const Request&, Response&);
Rv setMaxLoginFailures(Device&, const Request&, Response&);
Rv setSessionTimeout(Device&, const Request&, Response&);
Rv setPinLengths(Device&, const Request&, Response&);
Rv setBitOptions(Device&, const Request&, Response&);

// Device log.
Rv readLog(Device&, const Request&, Response&);

// Bitcoin key slot.
Rv importBitcoinKey(Device&, Session&, const Request&, Response&);
Rv bitcoinPublicKey(Device&, Session&, const Request&, Response&);
Rv signBitcoinHash(Device&, Session&, const Request&, Response&);

// Around every request: closes sessions idle for longer than the session timeout (before),
// notes the use of the request's session, and records security-relevant outcomes (after).
void beforeRequest(Device&);
void sessionUsed(Device&, uint32_t session);
void afterRequest(Device&, const Request&, const Response&, Rv);

// Appends an event to the device log, stamped with the token's clock.
void logEvent(Device&, const std::string& event);

// Changes to the storage or the policy of an initialised token need the security officer
// logged in; a blank token has nothing to protect.
inline Rv officerOnly(const Device& d) {
    return d.token.record.initialized && d.login() != Login::SO ? CKR_USER_NOT_LOGGED_IN : CKR_OK;
}

// Answers of the Bitcoin key slot beyond the standard's codes.
constexpr Rv kNoBitcoinKey = CKR_VENDOR_DEFINED + 1;
constexpr Rv kBitcoinKeyExists = CKR_VENDOR_DEFINED + 2;

// The attribute that keeps the chain code of the Bitcoin key; it is as secret as the key.
constexpr uint32_t kChainCodeAttribute = CKA_VENDOR_DEFINED | 0xB1C0;

}  // namespace dravenholt::sim
