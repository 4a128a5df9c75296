// Two processes use one virtual HID device, which (like a hidraw node) hands every report it sends
// to every open handle, reads the reports of all hosts into one request, and journals each report
// and reply. With the process lock file no exchange of one process comes between the request and
// the reply of the other.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <deque>

#include "processes.h"

namespace conc {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TEST(ProcessLock, WithTheLockFileExchangesOfTwoProcessesNeverInterleave) {
    orvotest::TestDir dir;
    dir.useAsConfig(R"({"lockfile": ")" + dir.file("orvo.lock") + "\"}");
    HidToken hid;
    // Two processes, each with a handle of its own, at work until the same moment.
    const auto until = Clock::now() + milliseconds(1500);
    std::deque<Child> processes;
    for (int i = 0; i < 2; ++i)
        processes.emplace_back([&, i](Findings& f) {
            if (!f.rv(C_Initialize(nullptr), "C_Initialize")) return;
            runWorker("process " + std::to_string(i), nullptr, [&] { return Clock::now() < until; }, f);
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
    orvotest::TestDir dir;
    HidToken hid;
    const std::string lockFile = dir.file("orvo.lock");
    dir.useAsConfig(R"({"timeout": 300, "lockfile": ")" + lockFile + R"(", "logging": {"logfile": ")" +
                    dir.file("orvo.log") + "\"}}");
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
    EXPECT_NE(dir.read("orvo.log").find("waiting for the lock file " + lockFile + ","), std::string::npos)
        << dir.read("orvo.log");
    C_Finalize(nullptr);
}

}  // namespace
}  // namespace conc
