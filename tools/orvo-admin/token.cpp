#include "orvo-admin/token.h"

#include <algorithm>
#include <vector>

namespace orvoadmin {
namespace {

// Where a PIN comes from, for the message when none came.
const char* pinHint(Session::User user) {
    return user == Session::User::Officer ? "the SO PIN is needed: set ORVO_SO_PIN or run on a terminal"
                                          : "the user PIN is needed: set ORVO_USER_PIN or run on a terminal";
}

}  // namespace

Library::Library() { check(C_Initialize(nullptr), "cannot initialise the library"); }

Library::~Library() { C_Finalize(nullptr); }

Token::Token(const Invocation& inv) : slot_(inv.slot) {
    CK_ULONG count = 0;
    check(C_GetSlotList(CK_TRUE, nullptr, &count), "cannot list the slots");
    if (slot_ >= count)
        throw Failure("there is no slot " + std::to_string(slot_) + " (the library found " + std::to_string(count) +
                      "; see orvo-admin devices and orvoconfig.json)");
}

CK_TOKEN_INFO Token::info() const {
    CK_TOKEN_INFO info{};
    check(C_GetTokenInfo(slot_, &info), "cannot read the token information");
    return info;
}

bool Token::initialised() const { return info().flags & CKF_TOKEN_INITIALIZED; }

Session::Session(const Invocation& inv, const Token& token, User user, bool readWrite) {
    CK_FLAGS flags = CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0);
    check(C_OpenSession(token.slot(), flags, nullptr, nullptr, &handle_), "cannot open a session");
    if (user == User::None || (user == User::Officer && !token.initialised())) return;
    std::optional<std::string> pin =
        inv.console.secret ? inv.console.secret(user == User::Officer ? "SO PIN" : "user PIN") : std::nullopt;
    if (!pin) {
        C_CloseSession(handle_);
        throw Failure(pinHint(user));
    }
    std::vector<CK_UTF8CHAR> bytes(pin->begin(), pin->end());
    CK_RV rv = C_Login(handle_, user == User::Officer ? CKU_SO : CKU_USER, bytes.data(), CK_ULONG(bytes.size()));
    std::fill(bytes.begin(), bytes.end(), 0);
    std::fill(pin->begin(), pin->end(), '\0');
    if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
        C_CloseSession(handle_);
        check(rv, user == User::Officer ? "the SO login failed" : "the user login failed");
    }
}

Session::~Session() { C_CloseSession(handle_); }

}  // namespace orvoadmin
