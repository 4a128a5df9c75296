// The state of one simulated device and the checks that several request handlers share.
#pragma once

#include <map>
#include <memory>
#include <optional>

#include "admin_state.h"
#include "crypto/operation.h"
#include "object_store.h"
#include "random.h"
#include "state_file.h"
#include "token.h"

namespace dravenholt::sim {

enum class Login { None, User, SO };

struct FindState {
    std::vector<uint32_t> handles;
    size_t next = 0;
};

struct Session {
    uint32_t handle = 0;
    uint32_t client = 0;  // the client that opened it; no other client reaches it
    bool rw = false;
    std::unique_ptr<CipherOp> encrypt;
    std::unique_ptr<CipherOp> decrypt;
    std::unique_ptr<SignOp> sign;
    std::unique_ptr<SignOp> verify;
    std::unique_ptr<DigestOp> digest;
    std::optional<FindState> find;
    // A signing key with CKA_ALWAYS_AUTHENTICATE waits for a context-specific login.
    bool contextLoginPending = false;
};

struct Device {
    explicit Device(std::string serialNumber, std::optional<StateFile> file);

    std::string serial;
    std::optional<StateFile> stateFile;
    Token token;
    ObjectStore objects;
    std::map<uint32_t, Session> sessions;
    uint32_t nextSession = 1;
    uint32_t maxSessions = 64;  // of all clients together
    // The login of each client logged in; it ends with the client's last session.
    std::map<uint32_t, Login> logins;
    // The client whose request is being handled: the engine sets it before each request, and
    // every rule that depends on the login or on who owns a session asks for it.
    uint32_t caller = 0;
    Random random;
    AdminState admin;

    Login loginOf(uint32_t client) const;
    Login login() const { return loginOf(caller); }
    uint32_t sessionState(const Session& s) const;
    // The caller's sessions, all of them or the read/write ones.
    uint32_t sessionCount(bool rwOnly) const;

    // Whether the caller may see a stored object: private objects only while it is logged in as
    // the user, session objects only when one of its own sessions made them.
    bool canSee(const StoredObject& stored) const;
    // An object the caller may see, by handle.
    Rv visible(uint32_t handle, StoredObject*& out, Rv invalid = CKR_OBJECT_HANDLE_INVALID);
    Rv visible(const std::optional<uint32_t>& handle, StoredObject*& out,
               Rv invalid = CKR_OBJECT_HANDLE_INVALID);
    // Whether the session may create an object like `o`, or change or destroy it.
    Rv mayWrite(const Session& s, const Object& o) const;

    // Stores a new object: token objects persist, session objects belong to `s`.
    Rv addObject(const Session& s, Object o, uint32_t& handle);
    // Several objects at once: all are stored or none.
    Rv addObjects(const Session& s, std::vector<Object> list, std::vector<uint32_t>& handles);

    // Persistent changes run inside a transaction: the token record and token objects are
    // remembered, and restored when the state cannot be written.
    struct Snapshot {
        TokenRecord token;
        ObjectStore::Map objects;
    };
    Snapshot snapshot() const { return {token.record, objects.snapshot()}; }
    Rv commit(Snapshot& before);

    // Checks a PIN, persisting its retry counter whenever it changes: CKR_OK, CKR_PIN_INCORRECT
    // or CKR_PIN_LOCKED.
    Rv verifyPin(PinRecord& record, const Bytes& pin);

    void endLogin(uint32_t client);  // after logout: drop operations that need the login
};

}  // namespace dravenholt::sim
