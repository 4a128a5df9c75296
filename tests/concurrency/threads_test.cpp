// Eight threads, each with a session of its own, run mixed operations on one token at once: in
// process against the simulator's engine, and over TLS against orvo-sim. Every result is checked,
// and every log line (all entry points are logged) must come out whole. Also built with
// ThreadSanitizer (ORVO_TSAN), which must find no race.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <thread>

#include "frame/context.h"
#include "inprocess/simulated_devices.h"
#include "sim_daemon.h"
#include "support/test_env.h"
#include "workload.h"

namespace conc {
namespace {

constexpr size_t kThreads = 8;
constexpr auto kRunTime = std::chrono::milliseconds(1500);

std::string loggingTo(const std::string& file) {
    return R"({"logging": {"loglevel": 10, "logfile": ")" + file + R"("}})";
}

void runThreads() {
    SigningToken token = initialisePreparedToken();
    auto deadline = std::chrono::steady_clock::now() + kRunTime;
    std::vector<Findings> findings(kThreads);
    std::vector<size_t> done(kThreads);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            size_t rounds = 0;
            auto more = [&] { return rounds++ < 2 || std::chrono::steady_clock::now() < deadline; };
            done[i] = runWorker(0, "worker " + std::to_string(i), &token, more, findings[i]);
        });
    }
    for (auto& thread : threads) thread.join();
    for (size_t i = 0; i < kThreads; ++i) {
        EXPECT_EQ(findings[i].text(), "") << "thread " << i;
        EXPECT_GE(done[i], 10u) << "thread " << i;
    }
    EXPECT_EQ(C_CloseSession(token.session), CKR_OK);
    EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
}

// Every line as the library writes it: time, thread, level name, message.
void expectWholeLines(const std::string& log) {
    static const std::regex prefix(R"(\d+\.\d\d t:\d+ (TRACE|DEBUG|INFO|WARN|ERROR) : )");
    std::istringstream lines(log);
    size_t count = 0, signs = 0;
    for (std::string text; std::getline(lines, text); ++count) {
        std::smatch found;
        bool whole = std::regex_search(text, found, prefix) && found.position(0) == 0 &&
                     !std::regex_search(text.substr(static_cast<size_t>(found.length(0))), prefix);
        EXPECT_TRUE(whole) << "broken log line: " << text;
        signs += text.ends_with(" : C_Sign");
    }
    EXPECT_GE(signs, kThreads * 2);
    EXPECT_GT(count, 1000u);
}

TEST(Threads, EightSessionsAtOnceInProcess) {
    orvotest::TestDir dir;
    dir.useAsConfig(loggingTo(dir.file("orvo.log")));
    dravenholt::sim::installSimulatedDevices(dravenholt::getContext(), 1);
    runThreads();
    expectWholeLines(dir.read("orvo.log"));
}

TEST(Threads, EightSessionsAtOnceOverTlsToOrvoSim) {
    orvotest::TestDir dir;
    SimDaemon sim(loggingTo(dir.file("orvo.log")));
    sim.useAsConfig();
    runThreads();
    expectWholeLines(dir.read("orvo.log"));
    // Every thread's calls went over the one connection that C_Initialize opened.
    EXPECT_EQ(sim.logLines(" opened"), 1u) << sim.log();
}

}  // namespace
}  // namespace conc
