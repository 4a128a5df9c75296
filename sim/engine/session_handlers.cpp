// Opening and closing sessions, session information, login and logout.
#include "handlers.h"

namespace dravenholt::sim {
namespace {

void closeOne(Device& d, uint32_t handle) {
    d.objects.removeSessionObjects(handle);
    d.sessions.erase(handle);
    if (d.sessions.empty()) d.endLogin();
}

}  // namespace

Rv openSession(Device& d, const Request& req, Response& resp) {
    uint32_t flags = req.value.value_or(0);
    if (!(flags & CKF_SERIAL_SESSION)) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    bool rw = flags & CKF_RW_SESSION;
    if (d.sessions.size() >= d.maxSessions) return CKR_SESSION_COUNT;
    if (!rw && d.login == Login::SO) return CKR_SESSION_READ_WRITE_SO_EXISTS;
    uint32_t handle = d.nextSession++;
    if (d.nextSession == 0) d.nextSession = 1;
    Session& s = d.sessions[handle];
    s.handle = handle;
    s.rw = rw;
    resp.handle = handle;
    return CKR_OK;
}

Rv closeAllSessions(Device& d, const Request&, Response&) {
    while (!d.sessions.empty()) closeOne(d, d.sessions.begin()->first);
    return CKR_OK;
}

Rv closeSession(Device& d, Session& s, const Request&, Response&) {
    closeOne(d, s.handle);
    return CKR_OK;
}

Rv getSessionInfo(Device& d, Session& s, const Request&, Response& resp) {
    SessionInfoMsg info = SessionInfoMsg_init_zero;
    info.state = d.sessionState(s);
    info.flags = CKF_SERIAL_SESSION | (s.rw ? CKF_RW_SESSION : 0);
    resp.sessionInfo = info;
    return CKR_OK;
}

Rv login(Device& d, Session& s, const Request& req, Response&) {
    if (!req.value) return CKR_USER_TYPE_INVALID;
    Bytes pin = req.data.value_or(Bytes{});
    TokenRecord& rec = d.token.record;
    switch (*req.value) {
    case CKU_SO: {
        if (d.login == Login::SO) return CKR_USER_ALREADY_LOGGED_IN;
        if (d.login == Login::User) return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
        if (!rec.initialized) return CKR_USER_PIN_NOT_INITIALIZED;
        for (const auto& [handle, other] : d.sessions)
            if (!other.rw) return CKR_SESSION_READ_ONLY_EXISTS;
        Rv rv = d.verifyPin(rec.so, pin);
        if (rv == CKR_OK) d.login = Login::SO;
        return rv;
    }
    case CKU_USER: {
        if (d.login == Login::User) return CKR_USER_ALREADY_LOGGED_IN;
        if (d.login == Login::SO) return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
        if (!rec.user.set) return CKR_USER_PIN_NOT_INITIALIZED;
        Rv rv = d.verifyPin(rec.user, pin);
        if (rv == CKR_OK) d.login = Login::User;
        return rv;
    }
    case CKU_CONTEXT_SPECIFIC: {
        if (!s.contextLoginPending) return CKR_OPERATION_NOT_INITIALIZED;
        if (d.login != Login::User) return CKR_USER_NOT_LOGGED_IN;
        Rv rv = d.verifyPin(rec.user, pin);
        if (rv == CKR_OK) s.contextLoginPending = false;
        return rv;
    }
    default:
        return CKR_USER_TYPE_INVALID;
    }
}

Rv logout(Device& d, Session&, const Request&, Response&) {
    if (d.login == Login::None) return CKR_USER_NOT_LOGGED_IN;
    d.endLogin();
    return CKR_OK;
}

}  // namespace dravenholt::sim
