// The token state every operation runs against: a user session, an EC P-256 and an RSA-2048
// key pair made for the run (session objects, gone with the session). A blank token is
// initialised first.
#pragma once

#include "base/pkcs11.h"

namespace orvo_bench {

constexpr char kSoPin[] = "12345678";
constexpr char kUserPin[] = "123456";

struct Fixture {
    CK_FUNCTION_LIST* f = nullptr;
    CK_SLOT_ID slot = 0;
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    struct KeyPair {
        CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
        CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
    };
    KeyPair ec, rsa;
};

// Sets both PINs of a blank token; leaves an initialised one alone. Throws BenchError when the
// token refuses a step.
void initialiseToken(CK_FUNCTION_LIST* f, CK_SLOT_ID slot);
// Initialises a blank token, then opens the session and makes the key pairs. Throws BenchError
// when the token refuses a step.
Fixture prepareFixture(CK_FUNCTION_LIST* f, CK_SLOT_ID slot);

}  // namespace orvo_bench
