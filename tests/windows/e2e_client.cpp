// A Windows application of orvo-pkcs11.dll: loads the DLL, initialises the blank token and its
// user PIN, logs in, has the token make an EC P-256 key pair, signs a message, and verifies the
// signature and a forged one. Prints one line per call with its return code; exits 0 when every
// call gave the expected one. Usage: orvo-e2e-client [DLL] (default: orvo-pkcs11.dll beside it).
#include <windows.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include <p11-kit/pkcs11.h>

namespace {

CK_UTF8CHAR kSoPin[] = "12345678", kUserPin[] = "123456", kWrongPin[] = "654321";
CK_BYTE kP256[] = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};  // the named curve prime256v1

void step(const char* what, CK_RV rv, CK_RV wanted = CKR_OK) {
    std::printf("%-32s rv=0x%08lx%s\n", what, static_cast<unsigned long>(rv), rv == wanted ? "" : "  <- unexpected");
    std::fflush(stdout);
    if (rv != wanted) throw std::runtime_error(what);
}

void run(CK_FUNCTION_LIST_PTR f) {
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    step("C_Initialize", f->C_Initialize(&args));
    CK_SLOT_ID slot = 0;
    CK_ULONG count = 1;
    step("C_GetSlotList", f->C_GetSlotList(CK_TRUE, &slot, &count));
    if (count != 1) throw std::runtime_error("one slot with a token");

    CK_UTF8CHAR label[33] = "wine e2e                        ";  // blank-padded to 32
    CK_SESSION_HANDLE session = 0;
    auto open = [&] { return f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session); };
    step("C_InitToken", f->C_InitToken(slot, kSoPin, 8, label));
    step("C_OpenSession (SO)", open());
    step("C_Login (SO)", f->C_Login(session, CKU_SO, kSoPin, 8));
    step("C_InitPIN", f->C_InitPIN(session, kUserPin, 6));
    step("C_CloseSession (SO)", f->C_CloseSession(session));
    step("C_OpenSession", open());
    step("C_Login with a wrong PIN", f->C_Login(session, CKU_USER, kWrongPin, 6), CKR_PIN_INCORRECT);
    step("C_Login", f->C_Login(session, CKU_USER, kUserPin, 6));

    CK_MECHANISM generate{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE publicTemplate[] = {{CKA_EC_PARAMS, kP256, sizeof kP256}, {CKA_VERIFY, &yes, sizeof yes}};
    CK_ATTRIBUTE privateTemplate[] = {{CKA_SIGN, &yes, sizeof yes}, {CKA_PRIVATE, &yes, sizeof yes},
                                      {CKA_SENSITIVE, &yes, sizeof yes}};
    CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
    step("C_GenerateKeyPair (EC P-256)",
         f->C_GenerateKeyPair(session, &generate, publicTemplate, 2, privateTemplate, 3, &publicKey, &privateKey));

    // A number attribute comes back as the host's 32-bit CK_ULONG.
    CK_KEY_TYPE keyType = 0;
    CK_BYTE point[80];
    CK_ATTRIBUTE query[] = {{CKA_KEY_TYPE, &keyType, sizeof keyType}, {CKA_EC_POINT, point, sizeof point}};
    step("C_GetAttributeValue", f->C_GetAttributeValue(session, publicKey, query, 2));
    if (keyType != CKK_EC || query[0].ulValueLen != sizeof(CK_ULONG) || query[1].ulValueLen != 67)
        throw std::runtime_error("public key attributes");

    std::string message = "signed on the token, from a Windows application";
    auto bytes = [](std::string& s) { return reinterpret_cast<CK_BYTE_PTR>(s.data()); };
    CK_MECHANISM ecdsa{CKM_ECDSA_SHA256, nullptr, 0};
    CK_BYTE signature[64];
    CK_ULONG length = sizeof signature;
    step("C_SignInit (ECDSA with SHA-256)", f->C_SignInit(session, &ecdsa, privateKey));
    step("C_Sign", f->C_Sign(session, bytes(message), CK_ULONG(message.size()), signature, &length));
    for (std::string data : {message, message + "!"}) {
        step("C_VerifyInit", f->C_VerifyInit(session, &ecdsa, publicKey));
        step(data == message ? "C_Verify" : "C_Verify of a forged message",
             f->C_Verify(session, bytes(data), CK_ULONG(data.size()), signature, length),
             data == message ? CKR_OK : CKR_SIGNATURE_INVALID);
    }
    step("C_Logout", f->C_Logout(session));
    step("C_CloseSession", f->C_CloseSession(session));
    step("C_Finalize", f->C_Finalize(nullptr));
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "orvo-pkcs11.dll";
    HMODULE library = ::LoadLibraryA(path);
    auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(
        library ? reinterpret_cast<void*>(::GetProcAddress(library, "C_GetFunctionList")) : nullptr);
    CK_FUNCTION_LIST_PTR functions = nullptr;
    if (!getFunctionList || getFunctionList(&functions) != CKR_OK || !functions) {
        std::printf("%s: cannot load it, or no usable C_GetFunctionList (error %lu)\n", path, ::GetLastError());
        return 1;
    }
    int status = 0;
    try {
        run(functions);
        std::printf("all steps passed\n");
    } catch (const std::runtime_error& failed) {
        std::printf("FAILED: %s\n", failed.what());
        functions->C_Finalize(nullptr);
        status = 1;
    }
    ::FreeLibrary(library);
    return status;
}
