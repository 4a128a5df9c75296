// The state of one simulated device and the checks that several request handlers share.
#pragma once

#include <map>
#include <memory>
#include <optional>

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
    uint32_t maxSessions = 64;
    Login login = Login::None;
    Random random;

    uint32_t sessionState(const Session& s) const;
    uint32_t rwSessionCount() const;

    // An object the session may see (private objects only while the user is logged in).
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

    void endLogin();  // after logout: drop operations that need the login
};

}  // namespace dravenholt::sim
