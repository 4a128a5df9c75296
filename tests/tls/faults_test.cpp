// The simulated token behind the simulator's TLS front end, with each reply fault and with the
// simulator stopped and restarted. After each fault the library connects anew (what the device
// might still send would be taken for the next reply); the device ends the old connection's
// session with it, so the program goes on in a new session.
#include <gtest/gtest.h>

#include "engine_service.h"
#include "frame/context.h"
#include "reply_faults.h"
#include "support/fault_probes.h"
#include "tls_fixture.h"

using namespace orvotest;
using sim::FaultPlan;
using sim::ReplyFault;
using namespace std::chrono_literals;

namespace {

constexpr auto kTimeout = 400ms;

struct Case {
    const char* name;
    FaultPlan plan;
    CK_RV rv;  // CKR_OK: the reply arrived whole, only the connection is gone afterwards
    bool waitsTimeout;
    bool stopsSimulator = false;
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
    {"simulator stopped, then restarted", {}, CKR_FUNCTION_FAILED, false, true},
};

struct TlsToken : ::testing::Test {
    Pki pki;
    TestDir dir;
    std::shared_ptr<sim::Engine> engine = std::make_shared<sim::Engine>();
    std::shared_ptr<sim::FaultSwitch> faults = std::make_shared<sim::FaultSwitch>();
    TestDevice device{pki.server, sim::withFaults(sim::engineService(*engine), faults)};
    ProbedToken token;

    void SetUp() override {
        dir.write("ca.pem", pki.authority.certificatePem);
        token.start(dir, kTimeout,
                    R"({"address": "127.0.0.1", "port": )" + std::to_string(device.port()) + R"(, "cacertbundle": ")" +
                        dir.file("ca.pem") + "\"}");
    }
    void TearDown() override {
        faults->set({});
        C_Finalize(nullptr);
    }
};

struct TlsFault : TlsToken, ::testing::WithParamInterface<Case> {};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

}  // namespace

// A device that drops the connection has dropped it by the next call (the settling pause): a
// request written in the instant before the connection's end arrives is lost with it.
TEST_P(TlsFault, FaultyCallFailsInTimeAndTheNextSucceeds) {
    const Case& c = GetParam();
    auto faulty = [&](Probe probe) {
        if (c.stopsSimulator) device.stop();
        faults->set(c.plan);
        ProbeResult result = token.run(probe);
        faults->set({});
        if (c.stopsSimulator) device.restart();
        return result;
    };
    checkFaultRow({"TLS", c.name, c.rv, c.waitsTimeout, kTimeout, 100ms}, dir, faulty,
                  [&](Probe probe) { return token.runAfterReconnect(probe); });
}

INSTANTIATE_TEST_SUITE_P(Faults, TlsFault, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return testName(info.param.name); });

// A healthy reply in two records, cut anywhere, is read whole on the same connection, whether
// the second record comes in with the first or a little after it.
TEST_F(TlsToken, ReplyInTwoRecordsIsReadWhole) {
    for (auto pause : {0ms, 2ms}) {
        for (Probe probe : kProbes) {
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
