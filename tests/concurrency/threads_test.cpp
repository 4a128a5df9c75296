// Threads of one process inside the library at once. Also built with ThreadSanitizer (ORVO_TSAN),
// which must find no race.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "frame/context.h"
#include "harness.h"
#include "inprocess/simulated_devices.h"
#include "orvo/admin.h"

namespace conc {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Every line as the library writes it: time, thread, level name, message.
void expectWholeLines(const std::string& log, size_t signatures) {
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
    EXPECT_GE(signs, signatures);
    EXPECT_GT(count, 1000u);
}

TEST(Threads, EightSessionsAtOnceOverTlsToOrvoSim) {
    constexpr size_t kThreads = 8;
    orvotest::TestDir dir;
    SimDaemon sim(loggingTo(dir.file("orvo.log")));
    SigningToken token = initialisePreparedToken();
    auto deadline = Clock::now() + milliseconds(1500);
    Findings f;
    std::vector<size_t> done(kThreads);
    {
        std::vector<std::jthread> threads;
        for (size_t i = 0; i < kThreads; ++i)
            threads.emplace_back([&, i] {
                auto more = [&](size_t round) { return round < 2 || Clock::now() < deadline; };
                done[i] = runWorker("worker " + std::to_string(i), &token, more, f);
            });
    }
    EXPECT_EQ(f.text(), "");
    for (size_t operations : done) EXPECT_GE(operations, 10u);
    EXPECT_EQ(C_CloseSession(token.session), CKR_OK);
    EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
    expectWholeLines(dir.read("orvo.log"), kThreads * 2);
    // Every thread's calls went over the one connection that C_Initialize opened.
    EXPECT_EQ(sim.logLines(" opened"), 1u) << sim.log();
}

// Calls addressed to slot 0 that use its transport, and what each answers once the library is
// finalised (bReadLogEntries answers true or false; false stands as CKR_FUNCTION_FAILED).
struct SlotCall {
    const char* name;
    CK_RV (*call)();
    CK_RV finalised = CKR_CRYPTOKI_NOT_INITIALIZED;
};
const SlotCall kSlotCalls[] = {
    {"C_GetSlotInfo", [] { CK_SLOT_INFO info; return C_GetSlotInfo(0, &info); }},
    {"C_GetTokenInfo", [] { CK_TOKEN_INFO info; return C_GetTokenInfo(0, &info); }},
    {"u32GetTokenConfig", [] { uint8_t record[8] = {1, 8}; return CK_RV(u32GetTokenConfig(0, record)); }},
    {"bReadLogEntries", [] { uint8_t log[512]; uint64_t length = sizeof log;
                             return bReadLogEntries(0, log, &length) ? CK_RV(CKR_OK) : CK_RV(CKR_FUNCTION_FAILED); },
     CKR_FUNCTION_FAILED},
};

// Two threads calling `slot` again and again beside two drawing random numbers in `session`,
// each at least once and on while `more()` says so. An answer outside the allowed ones is a
// finding; `successes` counts the slot call's CKR_OK answers. `pause` follows each draw.
std::vector<std::jthread> race(const SlotCall& slot, std::set<CK_RV> slotAnswers, CK_SESSION_HANDLE session,
                               std::set<CK_RV> drawAnswers, milliseconds pause, std::function<bool()> more,
                               Findings& f, std::atomic<size_t>& successes) {
    std::vector<std::jthread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([=, &f, &successes] {
            do {
                CK_RV rv = slot.call();
                successes += rv == CKR_OK;
                f.check(slotAnswers.count(rv) != 0, std::string(slot.name) + " returned " + std::to_string(rv));
            } while (more());
        });
        threads.emplace_back([=, &f] {
            do {
                uint8_t random[48];
                CK_RV rv = C_GenerateRandom(session, random, sizeof random);
                f.check(drawAnswers.count(rv) != 0, "C_GenerateRandom returned " + std::to_string(rv));
                std::this_thread::sleep_for(pause);
            } while (more());
        });
    }
    return threads;
}

// After each reply the connection drops, so every exchange opens it anew: the slot calls' own
// opening and exchanges and the random numbers' reconnection meet on one transport. The session
// ends with the first connection; the random number calls still make their exchanges. Without
// locking arguments the device lock is empty, and the library mutex alone keeps them apart.
TEST(Races, SlotCallsBesideSessionCallsOnADroppingConnection) {
    SimDaemon sim("{}", {"--fault", "drop-after"});
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    CK_SESSION_HANDLE session = 0;
    CK_RV opened = CKR_FUNCTION_FAILED;  // an exchange right after the last reply may meet the drop
    for (int i = 0; i < 5 && opened == CKR_FUNCTION_FAILED; ++i)
        opened = C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
    ASSERT_EQ(opened, CKR_OK);
    for (const SlotCall& slot : kSlotCalls) {
        Findings f;
        std::atomic<size_t> successes{0};
        // For 50 ms, and on (for at most ten times as long) until the slot call has succeeded
        // once: the exchanges that meet a dropped connection fail. The pause after each draw lets
        // the slot calls have their turns at the library mutex.
        auto more = [&successes, start = Clock::now()] {
            auto spent = Clock::now() - start;
            return spent < milliseconds(50) || (successes == 0 && spent < milliseconds(500));
        };
        race(slot, {CKR_OK, CKR_FUNCTION_FAILED}, session, {CKR_SESSION_HANDLE_INVALID, CKR_FUNCTION_FAILED},
             milliseconds(1), more, f, successes);
        EXPECT_EQ(f.text(), "") << slot.name;
        EXPECT_GT(successes.load(), 0u) << slot.name;
    }
    EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
}

// Rounds of: initialise, a session, two threads drawing random numbers and two making one of
// the slot calls, C_Finalize in the middle of it. A call answers as if it came before the
// finalisation or after it, never with anything between.
TEST(Races, FinaliseWhileCallsAreInside) {
    orvotest::TestDir dir;
    dir.useAsConfig();
    dravenholt::sim::installSimulatedDevices(dravenholt::getContext(), 1);
    std::atomic<size_t> successes{0};
    for (int round = 0; round < 8; ++round) {
        const SlotCall& slot = kSlotCalls[round % std::size(kSlotCalls)];
        ASSERT_EQ(initialiseWithOsLocking(), CKR_OK);
        CK_SESSION_HANDLE session = 0;
        ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
        Findings f;
        std::atomic<bool> finalised{false};
        auto threads = race(slot, {CKR_OK, slot.finalised}, session, {CKR_OK, CKR_CRYPTOKI_NOT_INITIALIZED},
                            milliseconds(0), [&] { return !finalised.load(); }, f, successes);
        std::this_thread::sleep_for(milliseconds(3));
        EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
        finalised = true;
        threads.clear();
        EXPECT_EQ(f.text(), "") << slot.name;
    }
    EXPECT_GT(successes.load(), 0u);  // calls did meet the library initialised
}

}  // namespace
}  // namespace conc
