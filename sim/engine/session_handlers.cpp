// Opening and closing sessions, session information, login and logout. Sessions and login
// belong to the client that made them: each client logs in and out on its own, and the rules
// between the user and the security officer hold within a client.
#include <algorithm>

#include "handlers.h"

namespace dravenholt::sim {
namespace {

bool hasReadOnlySession(const Device& d, uint32_t client) {
    return std::any_of(d.sessions.begin(), d.sessions.end(),
                       [&](const auto& entry) { return entry.second.client == client && !entry.second.rw; });
}

}  // namespace

void endSession(Device& d, uint32_t handle) {
    auto it = d.sessions.find(handle);
    if (it == d.sessions.end()) return;
    const uint32_t client = it->second.client;
    d.objects.removeSessionObjects(handle);
    d.sessions.erase(it);
    bool clientLeft = std::none_of(d.sessions.begin(), d.sessions.end(),
                                   [&](const auto& entry) { return entry.second.client == client; });
    if (clientLeft) d.endLogin(client);
}

void endSessions(Device& d, std::optional<uint32_t> client) {
    std::vector<uint32_t> ending;
    for (const auto& [handle, s] : d.sessions)
        if (!client || s.client == *client) ending.push_back(handle);
    for (uint32_t handle : ending) endSession(d, handle);
}

Rv openSession(Device& d, const Request& req, Response& resp) {
    uint32_t flags = req.value.value_or(0);
    if (!(flags & CKF_SERIAL_SESSION)) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    bool rw = flags & CKF_RW_SESSION;
    if (d.sessions.size() >= d.maxSessions) return CKR_SESSION_COUNT;
    if (!rw && d.login() == Login::SO) return CKR_SESSION_READ_WRITE_SO_EXISTS;
    uint32_t handle = d.nextSession++;
    if (d.nextSession == 0) d.nextSession = 1;
    Session& s = d.sessions[handle];
    s.handle = handle;
    s.client = d.caller;
    s.rw = rw;
    resp.handle = handle;
    return CKR_OK;
}

Rv closeAllSessions(Device& d, const Request&, Response&) {
    endSessions(d, d.caller);
    return CKR_OK;
}

Rv closeSession(Device& d, Session& s, const Request&, Response&) {
    endSession(d, s.handle);
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
    const Login current = d.loginOf(s.client);
    switch (*req.value) {
    case CKU_SO: {
        if (current == Login::SO) return CKR_USER_ALREADY_LOGGED_IN;
        if (current == Login::User) return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
        if (!rec.initialized) return CKR_USER_PIN_NOT_INITIALIZED;
        if (hasReadOnlySession(d, s.client)) return CKR_SESSION_READ_ONLY_EXISTS;
        Rv rv = d.verifyPin(rec.so, pin);
        if (rv == CKR_OK) d.logins[s.client] = Login::SO;
        return rv;
    }
    case CKU_USER: {
        if (current == Login::User) return CKR_USER_ALREADY_LOGGED_IN;
        if (current == Login::SO) return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
        if (!rec.user.set) return CKR_USER_PIN_NOT_INITIALIZED;
        Rv rv = d.verifyPin(rec.user, pin);
        if (rv == CKR_OK) d.logins[s.client] = Login::User;
        return rv;
    }
    case CKU_CONTEXT_SPECIFIC: {
        if (!s.contextLoginPending) return CKR_OPERATION_NOT_INITIALIZED;
        if (current != Login::User) return CKR_USER_NOT_LOGGED_IN;
        Rv rv = d.verifyPin(rec.user, pin);
        if (rv == CKR_OK) s.contextLoginPending = false;
        return rv;
    }
    default:
        return CKR_USER_TYPE_INVALID;
    }
}

Rv logout(Device& d, Session& s, const Request&, Response&) {
    if (d.loginOf(s.client) == Login::None) return CKR_USER_NOT_LOGGED_IN;
    d.endLogin(s.client);
    return CKR_OK;
}

}  // namespace dravenholt::sim
