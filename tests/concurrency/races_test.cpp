// Calls racing each other where they share a transport or the library's state: slot calls beside
// session calls on a connection that the device drops after every reply, and C_Finalize while
// other threads are inside the library. Every answer must be one the moment allows.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "frame/context.h"
#include "inprocess/simulated_devices.h"
#include "orvo/admin.h"
#include "sim_daemon.h"
#include "support/test_env.h"
#include "workload.h"

namespace conc {
namespace {

constexpr auto kRaceTime = std::chrono::milliseconds(50);

// Calls addressed to slot 0 that use its transport, and what each answers once the library is
// finalised (bReadLogEntries answers only true or false, false here standing as
// CKR_FUNCTION_FAILED).
struct SlotCall {
    const char* name;
    CK_RV (*call)();
    CK_RV finalised = CKR_CRYPTOKI_NOT_INITIALIZED;
};
const SlotCall kSlotCalls[] = {
    {"C_GetSlotInfo", [] { CK_SLOT_INFO info; return C_GetSlotInfo(0, &info); }},
    {"C_GetTokenInfo", [] { CK_TOKEN_INFO info; return C_GetTokenInfo(0, &info); }},
    {"u32GetTokenConfig", [] { uint8_t record[8] = {1, 8}; return CK_RV(u32GetTokenConfig(0, record)); }},
    {"bReadLogEntries",
     [] {
         uint8_t log[512];
         uint64_t length = sizeof log;
         return bReadLogEntries(0, log, &length) ? CK_RV(CKR_OK) : CK_RV(CKR_FUNCTION_FAILED);
     },
     CKR_FUNCTION_FAILED},
};

// Calls `call` again and again on a thread of its own while `more()` says so (at least once);
// an answer outside `allowed` is a finding of that thread's own. `successes` counts the CKR_OK
// answers.
std::thread loop(const std::string& name, std::function<CK_RV()> call, std::set<CK_RV> allowed,
                 std::function<bool()> more, Findings& f, std::atomic<size_t>& successes) {
    return std::thread([=, &f, &successes] {
        do {
            CK_RV rv = call();
            successes += rv == CKR_OK;
            f.check(allowed.count(rv) != 0, name + " returned " + std::to_string(rv));
        } while (more());
    });
}

CK_RV drawRandom(CK_SESSION_HANDLE session) {
    uint8_t random[48];
    return C_GenerateRandom(session, random, sizeof random);
}

// After each reply the connection drops, so every exchange opens it anew: the slot calls' own
// opening and exchanges and the random numbers' reconnection meet on one transport. The session
// ends with the first connection; the random number calls still make their exchanges. Without
// locking arguments the device lock is empty, and the library mutex alone keeps them apart.
TEST(Races, SlotCallsBesideSessionCallsOnADroppingConnection) {
    SimDaemon sim("{}", {"--fault", "drop-after"});
    sim.useAsConfig();
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    CK_SESSION_HANDLE session = 0;
    CK_RV opened = CKR_FUNCTION_FAILED;  // an exchange right after the last reply may meet the drop
    for (int i = 0; i < 5 && opened == CKR_FUNCTION_FAILED; ++i)
        opened = C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
    ASSERT_EQ(opened, CKR_OK);
    for (const SlotCall& slot : kSlotCalls) {
        std::vector<Findings> f(4);
        std::atomic<size_t> successes{0}, unused{0};
        // Until the deadline, and on (for at most ten times as long) until the slot call has
        // succeeded once: the exchanges that meet a dropped connection fail.
        auto deadline = std::chrono::steady_clock::now() + kRaceTime;
        auto more = [&successes, deadline] {
            auto now = std::chrono::steady_clock::now();
            return now < deadline || (successes == 0 && now < deadline + 10 * kRaceTime);
        };
        std::vector<std::thread> threads;
        for (int i = 0; i < 2; ++i) {
            threads.push_back(loop(slot.name, slot.call, {CKR_OK, CKR_FUNCTION_FAILED}, more, f[i], successes));
            // A pause after each lets the slot calls have their turns at the library mutex.
            auto drawAndPause = [session] {
                CK_RV rv = drawRandom(session);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                return rv;
            };
            threads.push_back(loop("C_GenerateRandom", drawAndPause, {CKR_SESSION_HANDLE_INVALID, CKR_FUNCTION_FAILED},
                                   more, f[2 + i], unused));
        }
        for (auto& thread : threads) thread.join();
        for (const Findings& each : f) EXPECT_EQ(each.text(), "") << slot.name;
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
        CK_C_INITIALIZE_ARGS args{};
        args.flags = CKF_OS_LOCKING_OK;
        ASSERT_EQ(C_Initialize(&args), CKR_OK);
        CK_SESSION_HANDLE session = 0;
        ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
        std::vector<Findings> f(4);
        std::atomic<bool> finalised{false};
        auto more = [&] { return !finalised.load(); };
        std::vector<std::thread> threads;
        for (int i = 0; i < 2; ++i) {
            threads.push_back(loop(slot.name, slot.call, {CKR_OK, slot.finalised}, more, f[i], successes));
            threads.push_back(loop("C_GenerateRandom", [session] { return drawRandom(session); },
                                   {CKR_OK, CKR_CRYPTOKI_NOT_INITIALIZED}, more, f[2 + i], successes));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
        finalised = true;
        for (auto& thread : threads) thread.join();
        for (const Findings& each : f) EXPECT_EQ(each.text(), "") << slot.name;
    }
    EXPECT_GT(successes.load(), 0u);  // calls did meet the library initialised
}

}  // namespace
}  // namespace conc
