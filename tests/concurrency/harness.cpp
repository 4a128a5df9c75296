#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <mbedtls/sha256.h>


extern char** environ;

namespace conc {
namespace {

// Checked against mbedtls called directly, not the simulator's own cryptography.
Bytes sha256Of(const Bytes& data) {
    Bytes out(32);
    mbedtls_sha256_ret(data.data(), data.size(), out.data(), 0);
    return out;
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 13 + seed);
    return b;
}

constexpr size_t kShownFindings = 5;
const std::string kUserPin = "user-secret";
const Bytes kP256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

CK_UTF8CHAR_PTR utf8(const std::string& s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s.data())); }

CK_ATTRIBUTE attribute(CK_ATTRIBUTE_TYPE type, const void* value, size_t length) {
    return CK_ATTRIBUTE{type, const_cast<void*>(value), CK_ULONG(length)};
}

Bytes valueOf(const std::string& label) {
    Bytes value;
    while (value.size() < 200) value.insert(value.end(), label.begin(), label.end());
    return value;
}

// One round of the operations, each checking its own result: a signature (with a token to sign
// with) and its verification, 4100 bytes digested in two updates (sent in pieces of at most 2000
// bytes), twice 1500 random bytes (two device calls each), the object's attributes, a search.
size_t runRound(CK_SESSION_HANDLE s, const std::string& label, CK_OBJECT_HANDLE object, const SigningToken* signing,
                size_t round, Findings& f) {
    if (signing) {
        Bytes hash = sha256Of(pattern(64, static_cast<uint8_t>(round)));
        CK_MECHANISM ecdsa = {CKM_ECDSA, nullptr, 0};
        Bytes signature(64);
        CK_ULONG length = CK_ULONG(signature.size());
        if (f.rv(C_SignInit(s, &ecdsa, signing->privateKey), "C_SignInit") &&
            f.rv(C_Sign(s, hash.data(), CK_ULONG(hash.size()), signature.data(), &length), "C_Sign") &&
            f.check(length == 64, "signature length") && f.rv(C_VerifyInit(s, &ecdsa, signing->publicKey), "C_VerifyInit"))
            f.rv(C_Verify(s, hash.data(), CK_ULONG(hash.size()), signature.data(), length), "C_Verify");
    }
    Bytes data = pattern(4100, static_cast<uint8_t>(round + label.size()));
    CK_MECHANISM sha256 = {CKM_SHA256, nullptr, 0};
    Bytes digest(32);
    CK_ULONG length = CK_ULONG(digest.size());
    if (f.rv(C_DigestInit(s, &sha256), "C_DigestInit") && f.rv(C_DigestUpdate(s, data.data(), 2500), "C_DigestUpdate") &&
        f.rv(C_DigestUpdate(s, data.data() + 2500, CK_ULONG(data.size() - 2500)), "C_DigestUpdate") &&
        f.rv(C_DigestFinal(s, digest.data(), &length), "C_DigestFinal"))
        f.check(length == 32 && digest == sha256Of(data), "digest differs");

    Bytes a(1500), b(1500);
    if (f.rv(C_GenerateRandom(s, a.data(), CK_ULONG(a.size())), "C_GenerateRandom") &&
        f.rv(C_GenerateRandom(s, b.data(), CK_ULONG(b.size())), "C_GenerateRandom"))
        f.check(a != b && a != Bytes(a.size(), 0), "random bytes repeat");

    char text[64] = {};
    Bytes value(256);
    CK_ATTRIBUTE wanted[] = {attribute(CKA_LABEL, text, sizeof text), attribute(CKA_VALUE, value.data(), value.size())};
    if (f.rv(C_GetAttributeValue(s, object, wanted, 2), "C_GetAttributeValue")) {
        value.resize(wanted[1].ulValueLen);
        f.check(std::string(text, wanted[0].ulValueLen) == label && value == valueOf(label), "attributes differ");
    }

    CK_ATTRIBUTE byLabel = attribute(CKA_LABEL, label.data(), label.size());
    CK_OBJECT_HANDLE found[4] = {};
    CK_ULONG count = 0;
    if (f.rv(C_FindObjectsInit(s, &byLabel, 1), "C_FindObjectsInit")) {
        if (f.rv(C_FindObjects(s, found, 4, &count), "C_FindObjects"))
            f.check(count == 1 && found[0] == object, "search found " + std::to_string(count) + " objects");
        f.rv(C_FindObjectsFinal(s), "C_FindObjectsFinal");
    }
    return signing ? 5 : 4;
}

}  // namespace

void Findings::add(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (first_.size() < kShownFindings) first_.push_back(what);
    ++count_;
}

bool Findings::rv(CK_RV got, const std::string& call, CK_RV want) {
    std::ostringstream text;
    text << call << " returned 0x" << std::hex << got << " instead of 0x" << want;
    return check(got == want, text.str());
}

std::string Findings::text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ == 0) return "";
    std::string out = std::to_string(count_) + " findings:";
    for (const auto& line : first_) out += "\n  " + line;
    return out;
}

CK_RV loginUser(CK_SESSION_HANDLE s) { return C_Login(s, CKU_USER, utf8(kUserPin), CK_ULONG(kUserPin.size())); }

CK_RV initialiseWithOsLocking() {
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    return C_Initialize(&args);
}

SigningToken initialisePreparedToken() {
    EXPECT_EQ(initialiseWithOsLocking(), CKR_OK);
    const std::string soPin = "so-secret", label = "concurrency" + std::string(21, ' ');
    SigningToken t;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE pub[] = {attribute(CKA_EC_PARAMS, kP256.data(), kP256.size()), attribute(CKA_TOKEN, &yes, 1),
                          attribute(CKA_VERIFY, &yes, 1)};
    CK_ATTRIBUTE priv[] = {attribute(CKA_TOKEN, &yes, 1), attribute(CKA_SIGN, &yes, 1)};
    CK_MECHANISM ecGen = {CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    Findings f;
    bool prepared =
        f.rv(C_InitToken(0, utf8(soPin), CK_ULONG(soPin.size()), utf8(label)), "C_InitToken") &&
        f.rv(C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &t.session), "C_OpenSession") &&
        f.rv(C_Login(t.session, CKU_SO, utf8(soPin), CK_ULONG(soPin.size())), "C_Login SO") &&
        f.rv(C_InitPIN(t.session, utf8(kUserPin), CK_ULONG(kUserPin.size())), "C_InitPIN") &&
        f.rv(C_Logout(t.session), "C_Logout") && f.rv(loginUser(t.session), "C_Login user") &&
        f.rv(C_GenerateKeyPair(t.session, &ecGen, pub, 3, priv, 2, &t.publicKey, &t.privateKey), "C_GenerateKeyPair");
    EXPECT_TRUE(prepared) << f.text();
    return t;
}

size_t runWorker(const std::string& label, const SigningToken* signing, const std::function<bool(size_t)>& more,
                 Findings& f) {
    CK_SESSION_HANDLE s = 0;
    if (!f.rv(C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s), "C_OpenSession"))
        return 0;
    CK_OBJECT_CLASS dataClass = CKO_DATA;
    CK_BBOOL no = CK_FALSE;
    Bytes value = valueOf(label);
    CK_ATTRIBUTE data[] = {attribute(CKA_CLASS, &dataClass, sizeof dataClass), attribute(CKA_TOKEN, &no, 1),
                           attribute(CKA_LABEL, label.data(), label.size()),
                           attribute(CKA_VALUE, value.data(), value.size())};
    CK_OBJECT_HANDLE object = 0;
    size_t done = 0;
    if (f.rv(C_CreateObject(s, data, 4, &object), "C_CreateObject"))
        for (size_t round = 0; more(round); ++round) done += runRound(s, label, object, signing, round, f);
    f.rv(C_CloseSession(s), "C_CloseSession");
    return done;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

SimDaemon::SimDaemon(const std::string& clientConfig, const std::vector<std::string>& options) {
    const std::string state = dir_.file("sim"), log = dir_.file("sim.log");
    std::filesystem::create_directory(state);
    std::filesystem::permissions(state, std::filesystem::perms::owner_all);  // whatever the umask
    dir_.write("sim/orvoconfig.json", clientConfig);
    setenv("ORVO_CONFIG_PATH", state.c_str(), 1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<const char*> argv = {ORVO_SIM_PATH, "--state-dir", state.c_str(), "--port", "0"};
    for (const std::string& option : options) argv.push_back(option.c_str());
    argv.push_back(nullptr);
    int error = posix_spawn(&pid_, ORVO_SIM_PATH, &actions, nullptr, const_cast<char**>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start orvo-sim");
    // The first start makes a CA and a server certificate; sanitizer builds are slow at it.
    bool ended = false;
    waitUntil([&] { return (ended = waitpid(pid_, nullptr, WNOHANG) == pid_) || logLines("listening on") > 0; },
              std::chrono::minutes(1));
    if (ended) pid_ = -1;
    if (ended || logLines("listening on") == 0) throw std::runtime_error("orvo-sim did not start:\n" + this->log());
}

SimDaemon::~SimDaemon() {
    if (pid_ > 0 && kill(pid_, SIGTERM) == 0) waitpid(pid_, nullptr, 0);
}

size_t SimDaemon::logLines(const std::string& text) const {
    std::istringstream lines(log());
    size_t count = 0;
    for (std::string line; std::getline(lines, line);) count += line.find(text) != std::string::npos;
    return count;
}

}  // namespace conc
