// Two processes use one virtual HID device, which (like a hidraw node) hands every report it sends
// to every open handle, reads the reports of all hosts into one request, and journals each report
// and reply. With the process lock file no exchange of one process comes between the request and
// the reply of the other.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <deque>
#include <thread>

#include "processes.h"

namespace conc {
namespace {

using Clock = std::chrono::steady_clock;

TEST(ProcessLock, WithTheLockFileExchangesOfTwoProcessesNeverInterleave) {
    orvotest::TestDir dir;
    dir.useAsConfig(R"({"lockfile": ")" + dir.file("orvo.lock") + "\"}");
    HidToken hid;
    SharedFlag go, stop;
    // Two processes that each initialise the library (which opens a handle of their own), wait
    // for `go`, then run the workload until `stop`.
    std::deque<Child> processes;
    for (int i = 0; i < 2; ++i)
        processes.emplace_back([&, i](Findings& f) {
            if (!f.rv(C_Initialize(nullptr), "C_Initialize")) return;
            go.waitRaised();
            runWorker("process " + std::to_string(i), nullptr, [&] { return !stop.raised(); }, f);
            C_Finalize(nullptr);
        });
    // Both are ready once the device has answered each one's first call.
    EXPECT_TRUE(waitUntil([&] { return exchanges(hid.device->journal()).replies.size() == 2; }, std::chrono::seconds(20)));
    go.raise();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    stop.raise();
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
    SharedFlag held, letGo;
    Child holder([&](Findings& f) {
        int fd = open(lockFile.c_str(), O_RDWR);
        struct flock whole {};
        whole.l_type = F_WRLCK;
        f.check(fd >= 0 && fcntl(fd, F_SETLK, &whole) == 0, "the lock could not be taken");
        held.raise();
        letGo.waitRaised();
    });
    held.waitRaised();
    CK_SESSION_HANDLE session;
    auto start = Clock::now();
    EXPECT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_FUNCTION_FAILED);
    auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_LT(waited, std::chrono::seconds(5));
    letGo.raise();
    EXPECT_EQ(holder.wait(), "");
    EXPECT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    EXPECT_NE(dir.read("orvo.log").find("waiting for the lock file " + lockFile + ","), std::string::npos)
        << dir.read("orvo.log");
    C_Finalize(nullptr);
}

}  // namespace
}  // namespace conc
