// Two processes use one virtual HID device, which (like a hidraw node) hands every report it sends
// to every open handle, reads the reports of all hosts into one request, and journals each report
// and reply. With the process lock file no exchange of one process comes between the request and
// the reply of the other.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <thread>

#include "child.h"
#include "base/pkcs11.h"
#include "support/test_env.h"

namespace conc {
namespace {

using dravenholt::vhid::JournalEntry;
using Clock = std::chrono::steady_clock;

class ProcessLock : public ::testing::Test {
protected:
    void TearDown() override {
        go.raise();
        stop.raise();
        processes.clear();  // waits for them
        dravenholt::vhid::unplugAll();
    }

    // Two processes that each initialise the library (which opens a handle of their own), wait
    // for `go`, then run the workload until `stop`.
    void startProcesses() {
        for (int i = 0; i < 2; ++i) {
            processes.push_back(std::make_unique<Child>([this, i](Findings& f) {
                if (!f.rv(C_Initialize(nullptr), "C_Initialize")) return;
                go.waitRaised();
                runWorker(0, "process " + std::to_string(i), nullptr, [&] { return !stop.raised(); }, f);
                C_Finalize(nullptr);
            }));
        }
        // Both are ready once the device has answered each one's first call.
        auto deadline = Clock::now() + std::chrono::seconds(20);
        while (repliesByHost().size() < 2 && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(repliesByHost().size(), 2u);
        go.raise();
    }

    // The processes' findings, one text each.
    std::vector<std::string> stopProcesses() {
        stop.raise();
        std::vector<std::string> findings;
        for (auto& process : processes) findings.push_back(process->wait());
        return findings;
    }

    std::map<uint32_t, size_t> repliesByHost() const {
        std::map<uint32_t, size_t> replies;
        for (const JournalEntry& entry : hid.device->journal())
            if (entry.kind == JournalEntry::Kind::Reply) ++replies[entry.host];
        return replies;
    }

    // How often the device went from one process's exchange to the other's.
    size_t turns() const {
        size_t count = 0;
        uint32_t last = 0;
        for (const JournalEntry& entry : hid.device->journal()) {
            if (entry.kind != JournalEntry::Kind::Reply) continue;
            count += last != 0 && entry.host != last;
            last = entry.host;
        }
        return count;
    }

    orvotest::TestDir dir;
    HidToken hid = plugInHidToken();
    SharedFlag go, stop;
    std::vector<std::unique_ptr<Child>> processes;
};

TEST_F(ProcessLock, WithTheLockFileExchangesOfTwoProcessesNeverInterleave) {
    dir.useAsConfig(R"({"lockfile": ")" + dir.file("orvo.lock") + "\"}");
    startProcesses();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    for (const std::string& findings : stopProcesses()) EXPECT_EQ(findings, "");
    EXPECT_EQ(intrusions(hid.device->journal()), 0u);
    // Both worked, and took turns at the device while they did.
    for (auto [host, replies] : repliesByHost()) EXPECT_GE(replies, 20u) << "host " << host;
    EXPECT_GE(turns(), 10u);
}

// Whoever can open the lock file can take its lock and keep it. A call then waits for the reply
// timeout, not for ever, fails, and the log names the file; once the lock is let go calls work.
TEST_F(ProcessLock, ALockHeldElsewhereFailsTheCallAtTheTimeout) {
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
