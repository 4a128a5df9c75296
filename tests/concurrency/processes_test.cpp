// Processes and the library's life: forked children, two processes on one virtual HID device (which
// like a hidraw node mixes the reports of all hosts), cycles of initialise/finalise and load/unload.
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>

#include "frame/context.h"
#include "harness.h"
#include "inprocess/simulated_devices.h"
#include "orvo/admin.h"
#include "vhid/engine_device.h"

namespace conc {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A function run in a forked child process, which sends its findings to the parent through a
// pipe. An alarm ends a child that hangs.
class Child {
public:
    enum class Leave {
        Immediately,  // _exit: what a child of a process with threads of its own must do
        ThroughExit,  // exit(): static destructors and exit handlers run, the library's among them
    };
    explicit Child(const std::function<void(Findings&)>& body, Leave leave = Leave::Immediately) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            ::close(ends[0]);
            alarm(20);
            Findings findings;
            body(findings);  // an exception ends the child by SIGABRT, which wait() tells
            const std::string text = findings.text();
            [[maybe_unused]] ssize_t written = ::write(ends[1], text.data(), text.size());  // blocking: all of it
            ::close(ends[1]);
            if (leave == Leave::ThroughExit) std::exit(text.empty() ? 0 : 1);
            _exit(text.empty() ? 0 : 1);
        }
        ::close(ends[1]);
        pipe_ = ends[0];
    }
    ~Child() { if (pid_ > 0) wait(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Waits for the child: its findings, "" when it found nothing, or how it ended otherwise.
    std::string wait() {
        std::string text;
        char buffer[512];
        for (ssize_t n; (n = ::read(pipe_, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
        ::close(pipe_);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        if (WIFSIGNALED(status)) return text + "\nchild ended by signal " + std::to_string(WTERMSIG(status));
        if (WEXITSTATUS(status) != 0 && text.empty()) return "child exited with " + std::to_string(WEXITSTATUS(status));
        return text;
    }

private:
    pid_t pid_ = -1;
    int pipe_ = -1;
};

// A simulated token behind a virtual USB HID device, its engine in this process, plugged in with
// the identifiers the library looks for by default (which a fresh configuration `dir` keeps), and
// unplugged again.
struct HidToken {
    HidToken() {
        dir.useAsConfig();
        dravenholt::sim::EngineOptions options;
        options.serialNumber = "0A0B0C0D0E0F";
        auto engine = std::make_shared<dravenholt::sim::Engine>(options);
        device = dravenholt::vhid::plugIn({.serial = L"0A0B0C0D0E0F"}, dravenholt::vhid::engineResponder(engine));
    }
    ~HidToken() { dravenholt::vhid::unplugAll(); }
    orvotest::TestDir dir;
    std::shared_ptr<dravenholt::vhid::VirtualDevice> device;
};

// What a device's journal shows of the exchanges of its hosts.
struct Exchanges {
    size_t intrusions = 0;  // reports of another host between a request's first report and its reply
    size_t turns = 0;       // replies to another host than the one answered before
    std::map<uint32_t, size_t> replies;  // by host
};

Exchanges exchanges(const std::vector<dravenholt::vhid::JournalEntry>& journal) {
    Exchanges seen;
    uint32_t owner = 0, answered = 0;  // host whose exchange is under way (0: none), host answered last
    for (const dravenholt::vhid::JournalEntry& entry : journal) {
        if (entry.kind == dravenholt::vhid::JournalEntry::Kind::Reply) {
            ++seen.replies[entry.host];
            seen.turns += answered != 0 && entry.host != answered;
            answered = entry.host;
            owner = 0;
        } else if (owner == 0) {
            owner = entry.host;
        } else {
            seen.intrusions += entry.host != owner;
        }
    }
    return seen;
}

bool twoRounds(size_t round) { return round < 2; }

// In a child that has not called C_Initialize, every call that needs it says so and sends nothing.
void beforeInitialize(Findings& f, CK_SESSION_HANDLE parentSession) {
    CK_ULONG count = 0;
    CK_INFO info;
    Bytes random(16);
    const std::pair<const char*, CK_RV> calls[] = {
        {"C_GetSlotList", C_GetSlotList(CK_FALSE, nullptr, &count)},
        {"C_GetInfo", C_GetInfo(&info)},
        {"C_GenerateRandom", C_GenerateRandom(parentSession, random.data(), CK_ULONG(random.size()))},
        {"C_CloseSession", C_CloseSession(parentSession)},
        {"C_CloseAllSessions", C_CloseAllSessions(0)},
        {"u32SetSessionTimeout", CK_RV(u32SetSessionTimeout(0, 5))},
        {"C_Finalize", C_Finalize(nullptr)}};
    for (const auto& [name, rv] : calls) f.rv(rv, name, CKR_CRYPTOKI_NOT_INITIALIZED);
}

// A child that initialises the library for itself, works, and finalises with a session open.
void withItsOwnInitialize(Findings& f, const SigningToken& token) {
    beforeInitialize(f, token.session);
    if (!f.rv(C_Initialize(nullptr), "C_Initialize")) return;
    CK_ULONG count = 0;
    f.rv(C_GetSlotList(CK_FALSE, nullptr, &count), "C_GetSlotList");
    f.check(count == 1, "the child sees " + std::to_string(count) + " slots");
    // The parent's session is no handle of this process, and its login no login of this one:
    // the child logs in for itself, then finalises with that session open.
    f.rv(C_CloseSession(token.session), "C_CloseSession(parent's)", CKR_SESSION_HANDLE_INVALID);
    CK_SESSION_HANDLE open = 0;
    f.rv(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &open), "C_OpenSession");
    CK_SESSION_INFO info{};
    f.rv(C_GetSessionInfo(open, &info), "C_GetSessionInfo");
    f.check(info.state == CKS_RO_PUBLIC_SESSION, "the child starts logged in");
    f.rv(loginUser(open), "C_Login");
    f.check(runWorker("child", &token, twoRounds, f) == 10, "the child's rounds");
    f.rv(C_Finalize(nullptr), "C_Finalize");
}

void parentGoesOn(const SigningToken& token) {
    CK_SESSION_INFO info{};
    ASSERT_EQ(C_GetSessionInfo(token.session, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_USER_FUNCTIONS);
    Findings f;
    EXPECT_EQ(runWorker("parent", &token, twoRounds, f), 10u);
    EXPECT_EQ(f.text(), "");
}

TEST(Fork, OverTlsTheChildNeverTouchesTheParentsConnection) {
    SimDaemon sim;
    SigningToken token = initialisePreparedToken();

    EXPECT_EQ(Child([&](Findings& f) { beforeInitialize(f, token.session); }, Child::Leave::ThroughExit).wait(), "");
    parentGoesOn(token);
    EXPECT_EQ(Child([&](Findings& f) { withItsOwnInitialize(f, token); }, Child::Leave::ThroughExit).wait(), "");
    parentGoesOn(token);
    // The parent's one connection, never closed, and the second child's own.
    EXPECT_EQ(sim.logLines(" opened"), 2u) << sim.log();
    waitUntil([&] { return sim.logLines(" closed") > 0; }, std::chrono::seconds(5));
    EXPECT_EQ(sim.logLines("connection 2 closed"), 1u) << sim.log();
    EXPECT_EQ(sim.logLines("connection 1 closed"), 0u) << sim.log();
    EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
}

TEST(Fork, OverVirtualHidTheChildUsesAHandleOfItsOwn) {
    HidToken hid;
    SigningToken token = initialisePreparedToken();
    auto journal = hid.device->journal();
    ASSERT_FALSE(journal.empty());
    const uint32_t parentHost = journal.front().host;
    // Whatever the child calls, before its own C_Initialize and after, never uses the parent's handle.
    size_t before = journal.size();
    EXPECT_EQ(Child([&](Findings& f) { withItsOwnInitialize(f, token); }).wait(), "");
    size_t between = hid.device->journal().size();
    parentGoesOn(token);
    journal = hid.device->journal();
    ASSERT_GT(between, before);
    for (size_t i = before; i < journal.size(); ++i)
        EXPECT_EQ(journal[i].host == parentHost, i >= between) << "journal entry " << i;
    EXPECT_EQ(exchanges(journal).intrusions, 0u);
    EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
}

// A thread of the parent is in the middle of calls whenever it forks: the fork handlers wait
// for the locks, so the child gets none of them held and its C_Initialize does not hang.
TEST(Fork, AChildOfABusyProcessInitialisesItsOwnCopy) {
#ifdef __SANITIZE_ADDRESS__
    // Seen: a child forked while another thread was inside that allocator waited forever on its
    // lock, whatever the library does. The plain build runs this test.
    GTEST_SKIP() << "the AddressSanitizer allocator is not fork-safe while another thread allocates";
#endif
    orvotest::TestDir dir;
    dir.useAsConfig(loggingTo(dir.file("orvo.log")));
    dravenholt::sim::installSimulatedDevices(dravenholt::getContext(), 1);
    SigningToken token = initialisePreparedToken();
    Findings busyFindings;
    std::jthread busy([&](std::stop_token stop) {
        runWorker("busy", &token, [&](size_t) { return !stop.stop_requested(); }, busyFindings);
    });
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(Child([&](Findings& f) { withItsOwnInitialize(f, token); }).wait(), "") << "child " << i;
    busy = std::jthread();  // stops and joins it
    EXPECT_EQ(busyFindings.text(), "");
    parentGoesOn(token);
    EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
}

TEST(ProcessLock, WithTheLockFileExchangesOfTwoProcessesNeverInterleave) {
    HidToken hid;
    hid.dir.useAsConfig(R"({"lockfile": ")" + hid.dir.file("orvo.lock") + "\"}");
    // Two processes, each with a handle of its own, at work until the same moment.
    const auto until = Clock::now() + milliseconds(1500);
    std::deque<Child> processes;
    for (int i = 0; i < 2; ++i)
        processes.emplace_back([&, i](Findings& f) {
            if (!f.rv(C_Initialize(nullptr), "C_Initialize")) return;
            runWorker("process " + std::to_string(i), nullptr, [&](size_t) { return Clock::now() < until; }, f);
            C_Finalize(nullptr);
        });
    for (Child& process : processes) EXPECT_EQ(process.wait(), "");
    Exchanges seen = exchanges(hid.device->journal());
    EXPECT_EQ(seen.intrusions, 0u);
    // Both worked, and took turns at the device while they did.
    for (auto [host, replies] : seen.replies) EXPECT_GE(replies, 20u) << "host " << host;
    EXPECT_GE(seen.turns, 10u);
}

// Whoever can open the lock file can take its lock and keep it. A call then waits for the reply
// timeout, not for ever, fails, and the log names the file; once the lock is let go calls work.
TEST(ProcessLock, ALockHeldElsewhereFailsTheCallAtTheTimeout) {
    HidToken hid;
    const std::string lockFile = hid.dir.file("orvo.lock");
    hid.dir.useAsConfig(R"({"timeout": 300, "lockfile": ")" + lockFile + R"(", "logging": {"logfile": ")" +
                        hid.dir.file("orvo.log") + "\"}}");
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    // A lock of an open file description holds against this process's own record locks as well
    // as any other process's.
    int holder = open(lockFile.c_str(), O_RDWR | O_CLOEXEC);
    struct flock whole {};
    whole.l_type = F_WRLCK;
    ASSERT_EQ(fcntl(holder, F_OFD_SETLK, &whole), 0) << lockFile;
    CK_SESSION_HANDLE session;
    auto start = Clock::now();
    EXPECT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_FUNCTION_FAILED);
    auto waited = Clock::now() - start;
    EXPECT_GE(waited, milliseconds(300));
    EXPECT_LT(waited, std::chrono::seconds(5));
    close(holder);
    EXPECT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    EXPECT_NE(hid.dir.read("orvo.log").find("waiting for the lock file " + lockFile + ","), std::string::npos)
        << hid.dir.read("orvo.log");
    C_Finalize(nullptr);
}

size_t openDescriptors() {
    auto fds = std::filesystem::directory_iterator("/proc/self/fd");
    return size_t(std::distance(begin(fds), end(fds)));
}

// Heap bytes in use. AddressSanitizer keeps a heap of its own, which this does not see; there
// LeakSanitizer looks.
size_t heapInUse() {
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// One cycle through the exported functions: initialise, a session, a call, finalise.
void cycle(CK_FUNCTION_LIST_PTR f, Findings& findings) {
    if (!findings.rv(f->C_Initialize(nullptr), "C_Initialize")) return;
    CK_SESSION_HANDLE s = 0;
    Bytes random(64);
    if (findings.rv(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &s), "C_OpenSession"))
        findings.rv(f->C_GenerateRandom(s, random.data(), CK_ULONG(random.size())), "C_GenerateRandom");
    findings.rv(f->C_Finalize(nullptr), "C_Finalize");  // with the session open: it closes it
}

// `warmUp` cycles (the C library fills its caches during the first few), then `count` more: the
// descriptors and the heap (give or take a few small blocks) stay where the warm-up left them.
void expectSteady(const std::function<void(Findings&)>& oneCycle, int warmUp, int count) {
    Findings findings;
    for (int i = 0; i < warmUp; ++i) oneCycle(findings);
    size_t descriptors = openDescriptors(), heap = heapInUse();
    for (int i = 0; i < count; ++i) oneCycle(findings);
    EXPECT_EQ(findings.text(), "");
    // A virtual device's thread may still be closing a descriptor of the warm-up.
    EXPECT_TRUE(waitUntil([&] { return openDescriptors() <= descriptors; }, std::chrono::seconds(2)));
    EXPECT_LE(heapInUse(), heap + 8192) << "grew from " << heap;
}

TEST(Lifecycle, InitialiseFinaliseCyclesOverVirtualHid) {
    HidToken hid;
    CK_FUNCTION_LIST_PTR linked = nullptr;
    ASSERT_EQ(C_GetFunctionList(&linked), CKR_OK);
    // The device's journal would grow with every exchange.
    expectSteady([&](Findings& f) { cycle(linked, f); hid.device->clearRecords(); }, 1, 3);
}

// The shipped library loaded, used over TLS and unloaded, again and again: each unload really
// removes it, and takes everything it made along.
TEST(Lifecycle, LoadUseUnloadTheSharedLibrary) {
    SimDaemon sim;
    auto loadUseUnload = [](Findings& f) {
        void* library = dlopen(ORVO_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!library) return f.add(std::string("dlopen: ") + dlerror());
        auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
        CK_FUNCTION_LIST_PTR list = nullptr;
        if (f.check(getList != nullptr, "no C_GetFunctionList") && f.rv(getList(&list), "C_GetFunctionList"))
            cycle(list, f);
        f.check(dlclose(library) == 0, "dlclose");
        void* still = dlopen(ORVO_SHARED_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
        f.check(still == nullptr, "the library stayed loaded");
        if (still) dlclose(still);
    };
    expectSteady(loadUseUnload, 8, 20);
    EXPECT_EQ(sim.logLines(" opened"), 28u);
}

// Children that call exit() while four threads of theirs call into the library: the exit
// handlers run while those calls go on, and none of the calls may meet freed state.
TEST(Lifecycle, ExitWhileThreadsAreInsideTheLibrary) {
    orvotest::TestDir dir;
    dir.useAsConfig();
    for (int run = 0; run < 2; ++run) {
        Child child(
            [](Findings& f) {
                dravenholt::sim::installSimulatedDevices(dravenholt::getContext(), 1);
                if (!f.rv(C_Initialize(nullptr), "C_Initialize")) return;
                static std::atomic<size_t> calls{0};  // outlives the body: the threads go on
                for (int i = 0; i < 4; ++i) {
                    std::thread([i] {
                        CK_INFO info;
                        CK_ULONG count = 0;
                        for (;; ++calls) i % 2 ? C_GetInfo(&info) : C_GetSlotList(CK_FALSE, nullptr, &count);
                    }).detach();
                }
                while (calls < 1000) std::this_thread::yield();
            },
            Child::Leave::ThroughExit);
        EXPECT_EQ(child.wait(), "") << "run " << run;
    }
}

}  // namespace
}  // namespace conc
