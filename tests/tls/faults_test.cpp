// The simulated token behind the simulator's TLS front end, with each of its reply faults: every
// faulty call ends with an error code within its timeout and leaves the caller's memory outside
// its buffers alone, and the next call succeeds. After each fault the library makes a new
// connection (what the device might still send would be taken for the next reply); the device
// ends the old connection's session with it, so the program goes on in a new session.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "engine_service.h"
#include "frame/context.h"
#include "reply_faults.h"
#include "support/fault_probes.h"
#include "tls_fixture.h"

using namespace orvotest;
using dravenholt::sim::FaultPlan;
using dravenholt::sim::ReplyFault;
using namespace std::chrono_literals;

namespace {

constexpr auto kTimeout = 400ms;
constexpr auto kSlack = 1500ms;  // a loaded machine, sanitizers
constexpr auto kSettle = 100ms;

struct Case {
    const char* name;
    FaultPlan plan;
    CK_RV rv;  // CKR_OK: the reply arrived whole, only the connection is gone afterwards
    bool waitsTimeout;
};

const Case kCases[] = {
    {"silent", {ReplyFault::Silent}, CKR_FUNCTION_FAILED, true},
    {"late", {ReplyFault::Late, 3 * kTimeout}, CKR_FUNCTION_FAILED, true},
    {"drop-before", {ReplyFault::DropBefore}, CKR_FUNCTION_FAILED, false},
    {"drop-during", {ReplyFault::DropDuring}, CKR_FUNCTION_FAILED, false},
    {"drop-after", {ReplyFault::DropAfter}, CKR_OK, false},
    {"truncated", {ReplyFault::Truncated}, CKR_FUNCTION_FAILED, true},
    {"oversized", {ReplyFault::Oversized}, CKR_FUNCTION_FAILED, false},
    {"garbage", {ReplyFault::Garbage}, CKR_FUNCTION_FAILED, true},
    {"hollow", {ReplyFault::Hollow}, CKR_DEVICE_ERROR, true},
    {"trickle", {ReplyFault::Trickle, kTimeout / 4}, CKR_FUNCTION_FAILED, true},
};

struct TlsToken : ::testing::Test {
    Pki pki;
    TestDir dir;
    std::shared_ptr<dravenholt::sim::Engine> engine = std::make_shared<dravenholt::sim::Engine>();
    std::shared_ptr<dravenholt::sim::FaultSwitch> faults = std::make_shared<dravenholt::sim::FaultSwitch>();
    TestDevice device{pki.server};
    ProbedToken token;

    void SetUp() override {
        device.setService(dravenholt::sim::withFaults(dravenholt::sim::engineService(*engine), faults));
        dir.write("ca.pem", pki.authority.certificatePem);
        dir.useAsConfig(R"({"logging": {"loglevel": 10, "logfile": ")" + dir.file("orvo.log") + R"("}, "timeout": )" +
                        std::to_string(kTimeout.count()) + R"(, "transport": {"address": "127.0.0.1", "port": )" +
                        std::to_string(device.port()) + R"(, "cacertbundle": ")" + dir.file("ca.pem") + "\"}}");
        ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
        token.prepare();
    }
    void TearDown() override {
        faults->set({});
        C_Finalize(nullptr);
    }
};

struct TlsFault : TlsToken, ::testing::WithParamInterface<Case> {};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

}  // namespace

TEST_P(TlsFault, FaultyCallFailsInTimeAndTheNextSucceeds) {
    const Case& c = GetParam();
    for (Probe probe : allProbes()) {
        faults->set(c.plan);
        ProbeResult faulty = token.run(probe);
        faults->set({});
        // A device that drops the connection has dropped it by the next call: a request written
        // in the instant before the connection's end arrives is lost with it.
        std::this_thread::sleep_for(kSettle);
        ProbeResult next = token.runAfterReconnect(probe);
        recordOutcome("TLS", c.name, probe, faulty, next);

        EXPECT_EQ(faulty.rv, c.rv) << probeName(probe);
        EXPECT_TRUE(faulty.guardsIntact) << probeName(probe);
        EXPECT_LT(faulty.took, kTimeout + kSlack) << probeName(probe);
        if (c.waitsTimeout) {
            EXPECT_GE(faulty.took, kTimeout - 50ms) << probeName(probe);
        }
        if (c.rv == CKR_OK) {
            EXPECT_TRUE(faulty.valuesRight) << probeName(probe);
        }
        EXPECT_EQ(next.rv, CKR_OK) << probeName(probe) << "\n" << dir.read("orvo.log");
        EXPECT_TRUE(next.valuesRight && next.guardsIntact) << probeName(probe);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, TlsFault, ::testing::ValuesIn(kCases),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

TEST_F(TlsToken, SimulatorStoppedAndRestartedMidSession) {
    for (Probe probe : allProbes()) {
        device.stop();
        ProbeResult faulty = token.run(probe);
        device.restart();
        ProbeResult next = token.runAfterReconnect(probe);
        recordOutcome("TLS", "simulator stopped, then restarted", probe, faulty, next);
        EXPECT_EQ(faulty.rv, CKR_FUNCTION_FAILED);
        EXPECT_TRUE(faulty.guardsIntact);
        EXPECT_LT(faulty.took, kTimeout + kSlack);
        EXPECT_EQ(next.rv, CKR_OK);
        EXPECT_TRUE(next.valuesRight && next.guardsIntact);
    }
}

// A healthy reply in two records, cut anywhere, is read whole: every call succeeds with the
// right values on the same connection, whether the second record comes in with the first or a
// little after it.
TEST_F(TlsToken, ReplyInTwoRecordsIsReadWhole) {
    for (auto pause : {0ms, 2ms}) {
        for (Probe probe : allProbes()) {
            for (size_t cut = 1; cut < 220; cut += cut < 16 ? 1 : 9) {
                faults->set({ReplyFault::Split, pause, cut});
                ProbeResult r = token.run(probe);
                EXPECT_EQ(r.rv, CKR_OK) << probeName(probe) << " cut at " << cut << ", " << pause.count() << " ms";
                EXPECT_TRUE(r.valuesRight && r.guardsIntact) << probeName(probe) << " cut at " << cut;
            }
        }
    }
    std::string log = dir.read("orvo.log");
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
    EXPECT_EQ(log.find("Connecting to 127"), log.rfind("Connecting to 127")) << "reconnected";
}
