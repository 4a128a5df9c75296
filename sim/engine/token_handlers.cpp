// Token information, token initialisation, PIN management and the clock.
#include "handlers.h"

namespace dravenholt::sim {
Rv getTokenInfo(Device& d, const Request&, Response& resp) {
    resp.tokenInfo = d.token.info(d.serial, d.sessionCount(false), d.sessionCount(true), d.maxSessions,
                                  d.objects.tokenMemory());
    return CKR_OK;
}

Rv initToken(Device& d, const Request& req, Response&) {
    if (!req.data || !req.data2) return CKR_ARGUMENTS_BAD;
    if (!d.sessions.empty()) return CKR_SESSION_EXISTS;
    const Bytes& pin = *req.data;
    TokenRecord& rec = d.token.record;
    if (rec.initialized) {
        if (Rv rv = d.verifyPin(rec.so, pin); rv != CKR_OK) return rv;
    } else if (!d.token.pinLengthOk(pin)) {
        return CKR_PIN_LEN_RANGE;
    }
    Device::Snapshot before = d.snapshot();
    if (!rec.initialized && !Token::setPin(rec.so, pin, d.random)) return CKR_DEVICE_ERROR;
    rec.initialized = true;
    rec.label.assign(req.data2->begin(), req.data2->end());
    rec.label.resize(32, ' ');
    rec.user = PinRecord{};
    d.objects.removeAllTokenObjects();
    return d.commit(before);
}

Rv setTime(Device& d, const Request& req, Response&) {
    if (!req.handle) return CKR_ARGUMENTS_BAD;
    d.token.setTime(int64_t(*req.handle));
    return CKR_OK;
}

Rv initPin(Device& d, Session& s, const Request& req, Response&) {
    if (!s.rw) return CKR_SESSION_READ_ONLY;
    if (d.login() != Login::SO) return CKR_USER_NOT_LOGGED_IN;
    Bytes pin = req.data.value_or(Bytes{});
    if (!d.token.pinLengthOk(pin)) return CKR_PIN_LEN_RANGE;
    Device::Snapshot before = d.snapshot();
    if (!Token::setPin(d.token.record.user, pin, d.random)) return CKR_DEVICE_ERROR;
    return d.commit(before);
}

Rv setPin(Device& d, Session& s, const Request& req, Response&) {
    if (!s.rw) return CKR_SESSION_READ_ONLY;
    PinRecord& target = d.login() == Login::SO ? d.token.record.so : d.token.record.user;
    if (!target.set) return CKR_USER_PIN_NOT_INITIALIZED;
    if (Rv rv = d.verifyPin(target, req.data.value_or(Bytes{})); rv != CKR_OK) return rv;
    Bytes fresh = req.data2.value_or(Bytes{});
    if (!d.token.pinLengthOk(fresh)) return CKR_PIN_LEN_RANGE;
    Device::Snapshot before = d.snapshot();
    if (!Token::setPin(target, fresh, d.random)) return CKR_DEVICE_ERROR;
    return d.commit(before);
}

}  // namespace dravenholt::sim
