// The library and the token as the commands use them: initialisation for the length of one
// command, the slot checked, sessions closed when done, logins with the PINs the console gives.
#pragma once

#include <string>

#include "base/pkcs11.h"
#include "orvo-admin/report.h"

namespace orvoadmin {

// C_Initialize now, C_Finalize at the end; the library reads orvoconfig.json on first use.
class Library {
public:
    Library();
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
};

// The slot of the invocation, checked against the slots the library found.
class Token {
public:
    explicit Token(const Invocation& inv);
    CK_SLOT_ID slot() const { return slot_; }
    bool initialised() const;
    CK_TOKEN_INFO info() const;

private:
    CK_SLOT_ID slot_;
};

class Session {
public:
    enum class User { None, Officer, Normal };
    // Opens a session (read-write when asked) and logs the user in with the PIN the console
    // gives; Officer only when the token is initialised, since a blank token has no SO.
    Session(const Invocation& inv, const Token& token, User user, bool readWrite);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    CK_SESSION_HANDLE handle() const { return handle_; }

private:
    CK_SESSION_HANDLE handle_ = 0;
};

}  // namespace orvoadmin
