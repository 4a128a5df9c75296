// A Windows application of orvo-pkcs11.dll: loads the DLL, initialises a token and its user PIN
// if the token is blank, logs in, has the token make an EC P-256 key pair, signs a message, and
// verifies the signature and a forged one. Prints one line per step with its time; exits 0 when
// every step gave the expected result.
//
//   orvo-e2e-client [DLL]    (default: orvo-pkcs11.dll beside the program)
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

namespace {

constexpr char kSoPin[] = "12345678";
constexpr char kUserPin[] = "123456";
// DER of the named curve P-256 (prime256v1).
constexpr CK_BYTE kP256[] = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};

struct Failed {
    std::string what;
};

class Steps {
public:
    // Runs one call and checks its return code.
    template <class Call>
    void expect(const char* what, CK_RV wanted, Call&& call) {
        auto start = std::chrono::steady_clock::now();
        CK_RV rv = call();
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        std::printf("%-38s rv=0x%08lx %8.1f ms%s\n", what, static_cast<unsigned long>(rv), ms,
                    rv == wanted ? "" : "  <- unexpected");
        std::fflush(stdout);
        if (rv != wanted) throw Failed{what};
    }
    template <class Call>
    void ok(const char* what, Call&& call) {
        expect(what, CKR_OK, call);
    }
};

CK_UTF8CHAR_PTR text(const char* s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s)); }

void run(CK_FUNCTION_LIST_PTR f) {
    Steps step;
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    step.ok("C_Initialize", [&] { return f->C_Initialize(&args); });
    CK_INFO info{};
    step.ok("C_GetInfo", [&] { return f->C_GetInfo(&info); });
    std::printf("  library %.32s %d.%d\n", reinterpret_cast<const char*>(info.libraryDescription),
                info.libraryVersion.major, info.libraryVersion.minor);

    CK_SLOT_ID slots[4];
    CK_ULONG count = 4;
    step.ok("C_GetSlotList", [&] { return f->C_GetSlotList(CK_TRUE, slots, &count); });
    if (count == 0) throw Failed{"no slot with a token"};
    const CK_SLOT_ID slot = slots[0];
    CK_TOKEN_INFO token{};
    step.ok("C_GetTokenInfo", [&] { return f->C_GetTokenInfo(slot, &token); });

    CK_SESSION_HANDLE session = 0;
    if (!(token.flags & CKF_TOKEN_INITIALIZED)) {
        CK_UTF8CHAR label[32];
        std::memset(label, ' ', sizeof label);
        std::memcpy(label, "wine e2e", 8);
        step.ok("C_InitToken", [&] { return f->C_InitToken(slot, text(kSoPin), 8, label); });
        step.ok("C_OpenSession (SO)", [&] {
            return f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
        });
        step.ok("C_Login (SO)", [&] { return f->C_Login(session, CKU_SO, text(kSoPin), 8); });
        step.ok("C_InitPIN", [&] { return f->C_InitPIN(session, text(kUserPin), 6); });
        step.ok("C_CloseSession (SO)", [&] { return f->C_CloseSession(session); });
    }
    step.ok("C_OpenSession", [&] {
        return f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
    });
    step.expect("C_Login with a wrong PIN", CKR_PIN_INCORRECT,
                [&] { return f->C_Login(session, CKU_USER, text("654321"), 6); });
    step.ok("C_Login", [&] { return f->C_Login(session, CKU_USER, text(kUserPin), 6); });

    CK_MECHANISM generate{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE publicTemplate[] = {{CKA_EC_PARAMS, const_cast<CK_BYTE*>(kP256), sizeof kP256},
                                     {CKA_VERIFY, &yes, sizeof yes}};
    CK_ATTRIBUTE privateTemplate[] = {{CKA_SIGN, &yes, sizeof yes}, {CKA_PRIVATE, &yes, sizeof yes},
                                      {CKA_SENSITIVE, &yes, sizeof yes}};
    CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
    step.ok("C_GenerateKeyPair (EC P-256)", [&] {
        return f->C_GenerateKeyPair(session, &generate, publicTemplate, 2, privateTemplate, 3, &publicKey,
                                    &privateKey);
    });

    // A number attribute comes back as the host's 32-bit CK_ULONG.
    CK_KEY_TYPE keyType = 0;
    CK_BYTE point[80];
    CK_ATTRIBUTE query[] = {{CKA_KEY_TYPE, &keyType, sizeof keyType}, {CKA_EC_POINT, point, sizeof point}};
    step.ok("C_GetAttributeValue", [&] { return f->C_GetAttributeValue(session, publicKey, query, 2); });
    std::printf("  key type %lu (%lu bytes), EC point of %lu bytes\n", static_cast<unsigned long>(keyType),
                static_cast<unsigned long>(query[0].ulValueLen), static_cast<unsigned long>(query[1].ulValueLen));
    if (keyType != CKK_EC || query[0].ulValueLen != sizeof(CK_ULONG) || query[1].ulValueLen != 67)
        throw Failed{"public key attributes"};

    std::string message = "signed on the token, from a Windows application";
    CK_MECHANISM ecdsa{CKM_ECDSA_SHA256, nullptr, 0};
    CK_BYTE signature[64];
    CK_ULONG signatureLength = sizeof signature;
    step.ok("C_SignInit (ECDSA with SHA-256)", [&] { return f->C_SignInit(session, &ecdsa, privateKey); });
    step.ok("C_Sign", [&] {
        return f->C_Sign(session, reinterpret_cast<CK_BYTE_PTR>(message.data()),
                         static_cast<CK_ULONG>(message.size()), signature, &signatureLength);
    });
    std::printf("  signature of %lu bytes\n", static_cast<unsigned long>(signatureLength));

    auto verify = [&](const std::string& data) {
        CK_RV rv = f->C_VerifyInit(session, &ecdsa, publicKey);
        if (rv != CKR_OK) return rv;
        return f->C_Verify(session, reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(data.data())),
                           static_cast<CK_ULONG>(data.size()), signature, signatureLength);
    };
    step.ok("C_Verify", [&] { return verify(message); });
    step.expect("C_Verify of a forged message", CKR_SIGNATURE_INVALID, [&] { return verify(message + "!"); });

    step.ok("C_Logout", [&] { return f->C_Logout(session); });
    step.ok("C_CloseSession", [&] { return f->C_CloseSession(session); });
    step.ok("C_Finalize", [&] { return f->C_Finalize(nullptr); });
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "orvo-pkcs11.dll";
    HMODULE library = ::LoadLibraryA(path);
    if (!library) {
        std::printf("cannot load %s (error %lu)\n", path, ::GetLastError());
        return 1;
    }
    auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(
        reinterpret_cast<void*>(::GetProcAddress(library, "C_GetFunctionList")));
    CK_FUNCTION_LIST_PTR functions = nullptr;
    int status = 0;
    if (!getFunctionList || getFunctionList(&functions) != CKR_OK || !functions) {
        std::printf("%s has no usable C_GetFunctionList\n", path);
        status = 1;
    } else {
        try {
            run(functions);
            std::printf("all steps passed\n");
        } catch (const Failed& failed) {
            std::printf("FAILED: %s\n", failed.what.c_str());
            functions->C_Finalize(nullptr);
            status = 1;
        }
    }
    ::FreeLibrary(library);
    return status;
}
