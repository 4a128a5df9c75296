// Initialisation and finalisation; the log and lock files, which may lie in a directory that others
// can write to.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>

#include "frame/context.h"
#include "orvo/admin.h"
#include "protocol/function_ids.h"
#include "unit/device_fixture.h"

using namespace orvotest;
using dravenholt::getContext;
namespace fn = dravenholt::fn;
namespace fs = std::filesystem;

namespace {

// The device fixture's devices and helpers, the library left uninitialised.
struct Frame : DeviceTest {
    void SetUp() override { dir.useAsConfig(); }
};

int created = 0, destroyed = 0, mutexObject;
CK_RV lockResult = CKR_OK, createResult = CKR_OK;

CK_C_INITIALIZE_ARGS appMutexes() {
    CK_C_INITIALIZE_ARGS args{};
    args.CreateMutex = [](CK_VOID_PTR_PTR m) { ++created; *m = &mutexObject; return createResult; };
    args.DestroyMutex = [](CK_VOID_PTR) { ++destroyed; return CK_RV(CKR_OK); };
    args.LockMutex = [](CK_VOID_PTR) { return lockResult; };
    args.UnlockMutex = [](CK_VOID_PTR) { return CK_RV(CKR_OK); };
    return args;
}

}  // namespace

// Before C_Initialize every call refuses, and nothing reaches a device or converts the caller's
// values. Arguments refused, and the application's mutex functions, the device lister or the
// transport factory failing: each leaves the library uninitialised (every call still refuses)
// without ports and the mutex it made destroyed, and a later C_Initialize succeeds.
TEST_F(Frame, EveryCallRefusesUntilAnInitialiseSucceeds) {
    CK_ULONG n = 4;
    uint8_t buffer[8] = {1, 8};
    uint64_t length = sizeof buffer;
    uint32_t path[1] = {1};
    const std::function<CK_RV()> calls[] = {
        [] { CK_INFO i; return C_GetInfo(&i); },
        [&] { return C_GetSlotList(CK_FALSE, nullptr, &n); },
        [] { CK_SLOT_INFO i; return C_GetSlotInfo(0, &i); },
        [] { CK_TOKEN_INFO i; return C_GetTokenInfo(0, &i); },
        [] { return C_GetMechanismList(0, nullptr, nullptr); },
        [] { CK_MECHANISM_INFO i; return C_GetMechanismInfo(0, 0, &i); },
        [&] { return C_InitToken(0, nullptr, 0, nullptr); },
        [&] { return C_OpenSession(0, 0, nullptr, nullptr, nullptr); },
        [&] { return C_Logout(1); },
        [&] { return C_WaitForSlotEvent(0, nullptr, nullptr); },
        [] { CK_MECHANISM m{CKM_ECDSA, nullptr, 0}; return C_SignInit(1, &m, 1); },
        [&] { return C_Digest(1, buffer, 4, buffer, &n); },
        [&] { return C_DigestUpdate(1, buffer, 4); },
        [&] { return C_DigestKey(1, 1); },
        [&] { return CK_RV(u32BackupStorage(0, buffer, &length)); },
        [&] { return CK_RV(u32RestoreStorage(0, buffer, 8)); },
        [&] { return CK_RV(u32FactoryReset(0)); },
        [&] { return CK_RV(u32GetTokenConfig(0, buffer)); },
        [&] { return CK_RV(bReadLogEntries(0, buffer, &length) ? CKR_OK : CKR_CRYPTOKI_NOT_INITIALIZED); },
        [&] { return CK_RV(u32HasBitcoinKey(1, nullptr)); },
        [&] { return CK_RV(u32ImportBitcoinKey(1, buffer, 8)); },
        [&] { return CK_RV(u32GetBitcoinPub(1, path, 1, buffer, &length)); },
        [&] { return CK_RV(u32SignBitcoinHash(1, buffer, 8, path, 1, buffer, &length)); },
    };
    auto everyCallRefuses = [&] {
        for (size_t i = 0; i < std::size(calls); ++i) EXPECT_EQ(calls[i](), CKR_CRYPTOKI_NOT_INITIALIZED) << "call " << i;
    };
    CK_C_INITIALIZE_ARGS withReserved{}, partial = appMutexes(), app = appMutexes();
    withReserved.pReserved = &n;  // any pointer there is refused
    partial.LockMutex = nullptr;
    auto throwing = [](bool lister) {
        getContext().setDevicePair(
            [lister](auto&&) -> std::vector<uint64_t> {
                if (lister) throw std::runtime_error("enumeration broke");
                return {0};
            },
            [](auto&&...) -> std::unique_ptr<dravenholt::Transport> { throw std::runtime_error("factory broke"); });
        return C_Initialize(nullptr);
    };
    installDevices({a});
    everyCallRefuses();
    const std::pair<std::function<CK_RV()>, CK_RV> failures[] = {
        {[&] { return C_Initialize(&withReserved); }, CKR_ARGUMENTS_BAD},
        {[&] { return C_Initialize(&partial); }, CKR_ARGUMENTS_BAD},
        {[&] { return createResult = CKR_GENERAL_ERROR, C_Initialize(&app); }, CKR_CANT_LOCK},
        {[&] { return createResult = CKR_OK, lockResult = CKR_GENERAL_ERROR, C_Initialize(&app); }, CKR_CANT_LOCK},
        {[&] { return throwing(true); }, CKR_FUNCTION_FAILED},
        {[&] { return throwing(false); }, CKR_FUNCTION_FAILED},
    };
    for (size_t i = 0; i < std::size(failures); ++i) {
        EXPECT_EQ(failures[i].first(), failures[i].second) << "case " << i;
        EXPECT_TRUE(!getContext().initialized() && getContext().ports().empty()) << "case " << i;
        everyCallRefuses();
    }
    EXPECT_EQ(std::make_tuple(created, destroyed, path[0]), std::tuple(2, 1, 1u));
    EXPECT_TRUE(a->requests.empty());
    lockResult = CKR_OK;
    installDevices({a});
    EXPECT_EQ(C_Initialize(&app), CKR_OK);
    EXPECT_EQ(C_GetSlotList(CK_FALSE, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 1u);
}

// Another process's sessions on the same device are not this process's to close, so C_Finalize
// closes its own one by one, and not those the device has ended already.
TEST_F(Frame, InitialiseSetsEveryClockAndFinalizeClosesItsOwnSessionsAndEveryPort) {
    installDevices({a, b});
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    for (auto& d : {a, b}) {
        ASSERT_EQ(d->requests.size(), 1u);
        EXPECT_EQ(d->requests[0].function, fn::SetDateTime);
        EXPECT_NEAR(d->requests[0].handle.value_or(0), time(nullptr), 5.0);
    }
    open(0, 7);
    CK_SESSION_HANDLE nine = open(0, 9);
    open(0, 11);
    open(1, 13);
    ASSERT_EQ(C_CloseSession(nine), CKR_OK);
    ASSERT_EQ(C_CloseAllSessions(1), CKR_OK);
    a->answer(reply(CKR_DEVICE_ERROR));  // a failed close does not stop the rest
    ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
    auto sent = a->calls();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(std::make_tuple(sent[1].function, sent[1].session), std::tuple(fn::CloseSession, std::optional(7u)));
    EXPECT_EQ(a->rawRequests.back(), (Bytes{0x08, 0x0C, 0x10, 0x0B}));
    EXPECT_EQ(std::make_tuple(b->calls().size(), b->lastCall().function), std::tuple(1u, fn::CloseAllSessions));
    for (auto& d : {a, b}) EXPECT_EQ(d->closes, 1);
}

#ifndef _WIN32
using Files = Frame;

TEST_F(Files, NothingPlantedAtTheLogOrLockPathIsFollowed) {
    auto& c = getContext();
    dir.write("victim", "kept");
    for (const std::string key : {"logfile", "lockfile"})
        for (const std::string plant : {"link", "dangling", "fifo"}) {  // a link to the victim, a dangling link, a FIFO
            SCOPED_TRACE(key + " " + plant);
            const std::string planted = dir.file(key + "-" + plant);
            if (plant == "fifo") ASSERT_EQ(mkfifo(planted.c_str(), 0666), 0);
            else fs::create_symlink(dir.file(plant == "link" ? "victim" : "made"), planted);
            std::string item = "\"" + key + "\": \"" + planted + "\"";
            dir.write("orvoconfig.json", key == "logfile" ? "{\"logging\": {" + item + "}}" : "{" + item + "}");
            c.loadConfiguration();  // returns: a FIFO is not waited on
            c.log(dravenholt::kError, "a line");
            EXPECT_FALSE(c.writesLogFile());
            EXPECT_FALSE(c.deviceLock().usesLockFile());
            EXPECT_EQ(dir.read("victim"), "kept");
            EXPECT_FALSE(fs::exists(dir.file("made")));
        }
}

// The log file is created for its owner alone and appended to; neither file is inherited by a
// program the process starts.
TEST_F(Files, LogFileIsTheOwnersAndNoFileReachesStartedPrograms) {
    dir.write("orvo.log", "earlier\n");
    ASSERT_EQ(chmod(dir.file("orvo.log").c_str(), 0644), 0);
    dir.useAsConfig(R"({"logging": {"logfile": ")" + dir.file("fresh.log") + R"("}, "lockfile": ")" +
                    dir.file("orvo.lock") + "\"}");
    auto& c = getContext();
    ASSERT_TRUE(c.deviceLock().usesLockFile());
    c.log(dravenholt::kError, "first");
    c.log(dravenholt::kError, "%s", std::string(2048, 'y').c_str());  // beyond the line buffer: not written
    auto mode = [&](const char* name) { return static_cast<unsigned>(fs::status(dir.file(name)).permissions()); };
    EXPECT_EQ(mode("fresh.log"), 0600u);
    // An existing log file keeps its mode and what it holds.
    dir.write("orvoconfig.json", R"({"logging": {"logfile": ")" + dir.file("orvo.log") + R"("}})");
    c.loadConfiguration();
    c.log(dravenholt::kError, "second");
    EXPECT_EQ(mode("orvo.log"), 0644u);
    std::string log = dir.read("orvo.log");
    EXPECT_EQ(log.substr(0, 8), "earlier\n");
    EXPECT_NE(log.find("ERROR : second\n"), std::string::npos);
    std::string fresh = dir.read("fresh.log");
    EXPECT_TRUE(fresh.find("ERROR : first\n") != std::string::npos && fresh.find("yyyy") == std::string::npos);
    // Every descriptor this process has on the files is closed on exec.
    std::set<std::string> held;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        std::string target = fs::read_symlink(entry.path(), error).string();
        if (target != dir.file("orvo.log") && target != dir.file("orvo.lock")) continue;
        held.insert(target);
        EXPECT_TRUE(fcntl(std::stoi(entry.path().filename().string()), F_GETFD) & FD_CLOEXEC) << target;
    }
    EXPECT_EQ(held.size(), 2u);
}
#endif
