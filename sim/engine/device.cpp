#include "device.h"

namespace dravenholt::sim {

Device::Device(std::string serialNumber, std::optional<StateFile> file)
    : serial(std::move(serialNumber)), stateFile(std::move(file)) {
    PersistentState state;
    if (stateFile && stateFile->load(state)) {
        token.record = std::move(state.token);
        for (Object& o : state.objects) objects.add(std::move(o), 0);
    }
}

Login Device::loginOf(uint32_t client) const {
    auto it = logins.find(client);
    return it == logins.end() ? Login::None : it->second;
}

uint32_t Device::sessionState(const Session& s) const {
    Login login = loginOf(s.client);
    if (login == Login::SO) return CKS_RW_SO_FUNCTIONS;
    if (login == Login::User) return s.rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
    return s.rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
}

uint32_t Device::sessionCount(bool rwOnly) const {
    uint32_t n = 0;
    for (const auto& [handle, s] : sessions) n += s.client == caller && (s.rw || !rwOnly);
    return n;
}

bool Device::canSee(const StoredObject& stored) const {
    if (stored.object.isPrivate() && login() != Login::User) return false;
    if (stored.owner == 0) return true;
    auto owner = sessions.find(stored.owner);
    return owner != sessions.end() && owner->second.client == caller;
}

Rv Device::visible(uint32_t handle, StoredObject*& out, Rv invalid) {
    out = objects.get(handle);
    if (!out || !canSee(*out)) {
        out = nullptr;
        return invalid;
    }
    return CKR_OK;
}

Rv Device::visible(const std::optional<uint32_t>& handle, StoredObject*& out, Rv invalid) {
    if (!handle) return invalid;
    return visible(*handle, out, invalid);
}

Rv Device::mayWrite(const Session& s, const Object& o) const {
    if (o.isToken() && !s.rw) return CKR_SESSION_READ_ONLY;
    if (o.isPrivate() && loginOf(s.client) != Login::User) return CKR_USER_NOT_LOGGED_IN;
    return CKR_OK;
}

Rv Device::addObject(const Session& s, Object o, uint32_t& handle) {
    std::vector<Object> list;
    list.push_back(std::move(o));
    std::vector<uint32_t> handles;
    Rv rv = addObjects(s, std::move(list), handles);
    if (rv == CKR_OK) handle = handles[0];
    return rv;
}

Rv Device::addObjects(const Session& s, std::vector<Object> list, std::vector<uint32_t>& handles) {
    bool persistent = false;
    for (const Object& o : list) {
        if (Rv rv = mayWrite(s, o); rv != CKR_OK) return rv;
        persistent = persistent || o.isToken();
    }
    Snapshot before = snapshot();
    handles.clear();
    for (Object& o : list) {
        uint32_t owner = o.isToken() ? 0 : s.handle;
        handles.push_back(objects.add(std::move(o), owner));
    }
    Rv rv = persistent ? commit(before) : CKR_OK;
    if (rv != CKR_OK) {
        for (uint32_t h : handles) objects.remove(h);
        handles.clear();
    }
    return rv;
}

Rv Device::commit(Snapshot& before) {
    if (!stateFile) return CKR_OK;
    std::string error;
    if (stateFile->save(serializeState(token.record, objects.tokenObjects()), error)) return CKR_OK;
    token.record = std::move(before.token);
    objects.restore(std::move(before.objects));
    return CKR_DEVICE_ERROR;
}

Rv Device::verifyPin(PinRecord& record, const Bytes& pin) {
    Snapshot before = snapshot();
    uint32_t failuresBefore = record.failures;
    PinCheck check = token.check(record, pin);
    if (record.failures != failuresBefore) {
        if (Rv rv = commit(before); rv != CKR_OK) return rv;
    }
    if (check == PinCheck::Locked) return CKR_PIN_LOCKED;
    return check == PinCheck::Ok ? CKR_OK : CKR_PIN_INCORRECT;
}

void Device::endLogin(uint32_t client) {
    logins.erase(client);
    for (auto& [handle, s] : sessions)
        if (s.client == client) s.contextLoginPending = false;
}

}  // namespace dravenholt::sim
