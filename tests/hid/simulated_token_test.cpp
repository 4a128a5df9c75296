// The simulated token behind virtual USB devices, in both framings, through C_ calls: device faults,
// broken replies and unplugging; processes sharing one device; every listed device opening.
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <future>
#include <thread>

#include "engine/engine.h"
#include "vhid/engine_device.h"
#include "hid_test_support.h"
#include "reply_faults.h"
#include "support/fault_probes.h"
#include "support/test_env.h"

namespace hidtest {
namespace {

using dravenholt::sim::ReplyFault;
using orvotest::Probe;
using orvotest::ProbeResult;

constexpr auto kTimeout = 300ms;
constexpr auto kSettle = 100ms;

// The token and its device: the engine, whose token has the device's serial number, outlives the
// device, as a token's memory outlives its USB connection, and a device plugged in again is the
// same token. Its messages are spoiled as `messages` says.
struct Rig {
    explicit Rig(DeviceProfile p) : profile(std::move(p)) { plugIn(); }
    DeviceProfile profile;
    std::shared_ptr<dravenholt::sim::Engine> engine = [this] {
        dravenholt::sim::EngineOptions options;
        options.serialNumber = std::string(profile.serial->begin(), profile.serial->end());
        return std::make_shared<dravenholt::sim::Engine>(options);
    }();
    std::shared_ptr<dravenholt::sim::FaultSwitch> messages = std::make_shared<dravenholt::sim::FaultSwitch>();
    std::shared_ptr<dravenholt::vhid::VirtualDevice> device;
    orvotest::ProbedToken token;

    void plugIn() {
        dravenholt::vhid::HostResponder healthy = dravenholt::vhid::engineResponder(engine);
        device = dravenholt::vhid::plugIn(
            profile, {[healthy, messages = messages](uint32_t host, const Bytes& request) {
                          return dravenholt::sim::faultyReply(messages->get(), healthy.answer(host, request)).bytes;
                      },
                      healthy.closed});
    }
    void unplug() { dravenholt::vhid::unplug(device); }

    ProbeResult faultyCall(const struct Case& c, Probe probe);  // the device is healthy again after it
};

enum class Fault { Device, Reply, UnplugBeforeReply, UnplugDuringReply, UnplugBetweenCalls, OpenRefusedAfterReplug };

// An unplugged device loses its hosts' handles, and with them the sessions opened through them:
// the library opens the device anew and the program goes on in a new session. The library closes
// the handle itself after a reply longer than a message may be, whose rest may still be coming.
bool losesHandle(Fault kind, ReplyFault reply) {
    return (kind != Fault::Device && kind != Fault::Reply) || (kind == Fault::Reply && reply == ReplyFault::Oversized);
}

struct Case {
    const char* name;
    std::optional<Framing> only;  // a fault of one framing; none: both
    Fault kind;
    Faults device = {};
    ReplyFault reply = {};
    CK_RV rv = CKR_FUNCTION_FAILED;
    bool waitsTimeout = false;
    std::chrono::milliseconds settle = kSettle;  // until the fault has played out
};

ProbeResult Rig::faultyCall(const Case& c, Probe probe) {
    ProbeResult result;
    switch (c.kind) {
    case Fault::Device:
        device->setFaults(c.device);
        result = token.run(probe);
        break;
    case Fault::Reply:
        messages->set({c.reply});
        result = token.run(probe);
        messages->set({});
        break;
    case Fault::UnplugBeforeReply:
    case Fault::UnplugDuringReply: {
        device->setFaults(c.kind == Fault::UnplugDuringReply ? Faults{.replyPieces = 1} : Faults{.silent = true});
        size_t before = device->requests().size();
        auto call = std::async(std::launch::async, [&] { return token.run(probe); });
        EXPECT_TRUE(device->waitForRequests(before + 1, 5s));
        std::this_thread::sleep_for(20ms);
        unplug();
        result = call.get();
        plugIn();
        break;
    }
    case Fault::UnplugBetweenCalls:
        unplug();
        result = token.run(probe);
        plugIn();
        break;
    case Fault::OpenRefusedAfterReplug:  // plugged in again, but busy or without access at first
        unplug();
        plugIn();
        device->setFaults({.refuseOpen = true});
        result = token.run(probe);
        break;
    }
    device->setFaults({});
    return result;
}

const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        {"silent", {}, Fault::Device, {.silent = true}, {}, CKR_FUNCTION_FAILED, true},
        // The late reply lands before the next call, which drops it unread.
        {"late", {}, Fault::Device, {.replyDelay = 2 * kTimeout}, {}, CKR_FUNCTION_FAILED, true, 2 * kTimeout},
        {"reply cut after its first piece", {}, Fault::Device, {.replyPieces = 1}, {}, CKR_FUNCTION_FAILED, true},
        {"truncated message", {}, Fault::Reply, {}, ReplyFault::Truncated},
        {"oversized message", {}, Fault::Reply, {}, ReplyFault::Oversized},
        {"garbage message", {}, Fault::Reply, {}, ReplyFault::Garbage},
        {"write fails", {}, Fault::Device, {.failWrites = true}},
        {"unplugged before the reply", {}, Fault::UnplugBeforeReply},
        {"unplugged during the reply", {}, Fault::UnplugDuringReply},
        {"unplugged between calls", {}, Fault::UnplugBetweenCalls},
        {"replugged, open refused", {}, Fault::OpenRefusedAfterReplug},
        {"wrong report ID", Framing::Reports, Fault::Device, {.replyReportId = 0x03}},
        {"unknown packet type", Framing::Reports, Fault::Device, {.firstPacketType = 0x05}},
        {"error frame", Framing::U2f, Fault::Device, {.errorReply = 0x06}},
        {"broken frame sequence", Framing::U2f, Fault::Device, {.skipSequence = true}},
        {"frames of another channel between", Framing::U2f, Fault::Device, {.otherChannelFrames = true}, {}, CKR_OK},
        // The device breaks off its reply after the first piece and starts it over. Reports: the
        // call gets the new reply alone. U2F: the new initiation frame breaks the sequence.
        {"reply started over", Framing::Reports, Fault::Device, {.restartAfter = 1}, {}, CKR_OK},
        {"reply started over", Framing::U2f, Fault::Device, {.restartAfter = 1}},
    };
    return all;
}

std::vector<std::tuple<Framing, size_t>> applicable() {
    std::vector<std::tuple<Framing, size_t>> out;
    for (Framing framing : {Framing::Reports, Framing::U2f})
        for (size_t i = 0; i < cases().size(); ++i)
            if (!cases()[i].only || *cases()[i].only == framing) out.emplace_back(framing, i);
    return out;
}

struct HidFault : HidTest, ::testing::WithParamInterface<std::tuple<Framing, size_t>> {
    orvotest::TestDir dir;
    Rig rig{profileFor(std::get<0>(GetParam()))};

    void SetUp() override { rig.token.start(dir, kTimeout); }
    void TearDown() override {
        C_Finalize(nullptr);
        HidTest::TearDown();
    }
};

TEST_P(HidFault, FaultyCallFailsInTimeAndTheNextSucceeds) {
    const Case& c = cases()[std::get<1>(GetParam())];
    const bool u2f = std::get<0>(GetParam()) == Framing::U2f;
    orvotest::checkFaultRow({u2f ? "USB, U2F frames" : "USB, reports", c.name, c.rv, c.waitsTimeout, kTimeout, c.settle},
                            dir, [&](Probe probe) { return rig.faultyCall(c, probe); },
                            [&](Probe probe) {
                                return losesHandle(c.kind, c.reply) ? rig.token.runAfterReconnect(probe)
                                                                    : rig.token.run(probe);
                            });
}

INSTANTIATE_TEST_SUITE_P(Faults, HidFault, ::testing::ValuesIn(applicable()),
                         [](const auto& info) {
                             return orvotest::testName(framingName(std::get<0>(info.param)) + "_" +
                                                       cases()[std::get<1>(info.param)].name);
                         });

// A timeout of 2^31 ms or more reaches hidapi as its longest finite wait, never as a negative
// number, which hidapi reads as "for ever": a silent device fails the call. The virtual device
// cuts every wait short, so the test need not sit it out.
struct HidLongTimeout : HidTest, ::testing::WithParamInterface<std::tuple<Framing, uint32_t>> {};

TEST_P(HidLongTimeout, SilentDeviceFailsTheCallAfterAFiniteWait) {
    const auto [framing, configured] = GetParam();
    orvotest::TestDir dir;
    dir.useAsConfig(R"({"timeout": )" + std::to_string(configured) + "}");
    Rig rig(profileFor(framing));
    rig.device->setFaults({.waitCap = 50ms, .silent = true});
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    CK_TOKEN_INFO info{};
    EXPECT_EQ(C_GetTokenInfo(0, &info), CKR_FUNCTION_FAILED);
    EXPECT_EQ(dravenholt::vhid::lastReadWait(), INT_MAX);
    C_Finalize(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Timeouts, HidLongTimeout,
                         ::testing::Combine(kBothFramings, ::testing::Values(0x80000000u, 0xFFFFFFFFu)),
                         [](const auto& info) {
                             return framingName(std::get<0>(info.param)) + "_" +
                                    std::to_string(std::get<1>(info.param));
                         });

struct EndToEnd : HidTest, ::testing::WithParamInterface<Framing> {};

// Two processes share one device under the process lock file. Each sees every report the
// device sends (as with hidraw), yet takes only replies to its own requests: one process holds a
// read-only session, the other a read-write one, so a reply of the other's shows. Each process's
// handle is a client of the device of its own: finalising closes that process's sessions only,
// and leaving without it ends them too, so that none is left behind.
TEST_P(EndToEnd, TwoProcessesShareOneDeviceUnderTheLockFile) {
    orvotest::TestDir dir;
    dir.useAsConfig(R"({"lockfile": ")" + dir.file("orvo.lock") + "\"}");
    Rig rig(profileFor(GetParam()));
    auto client = [](CK_FLAGS flags) {
        if (C_Initialize(nullptr) != CKR_OK) return 10;
        CK_SESSION_HANDLE session = 0;
        if (C_OpenSession(0, CKF_SERIAL_SESSION | flags, nullptr, nullptr, &session) != CKR_OK) return 11;
        for (int i = 0; i < 40; ++i) {
            CK_SESSION_INFO info{};
            if (C_GetSessionInfo(session, &info) != CKR_OK) return 12;
            if (info.flags != (CKF_SERIAL_SESSION | flags)) return 13;  // another process's reply
        }
        // The read-write one leaves without C_Finalize, as a killed program does.
        if (!(flags & CKF_RW_SESSION) && C_Finalize(nullptr) != CKR_OK) return 14;
        return 0;
    };
    for (CK_FLAGS flags : {CK_FLAGS{0}, CK_FLAGS{CKF_RW_SESSION}}) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) _exit(client(flags));
    }
    for (int status = 0; wait(&status) > 0;) EXPECT_EQ(status, 0) << "a client ended with status " << status;
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    std::string label(32, ' '), soPin = "sopin123";
    CK_RV rv = CKR_SESSION_EXISTS;
    for (auto end = std::chrono::steady_clock::now() + 5s; rv == CKR_SESSION_EXISTS && std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(10ms))
        rv = C_InitToken(0, reinterpret_cast<CK_UTF8CHAR_PTR>(soPin.data()), soPin.size(),
                         reinterpret_cast<CK_UTF8CHAR_PTR>(label.data()));
    EXPECT_EQ(rv, CKR_OK);
    EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
}

// Every device the HID pair lists is one its transport opens: whatever the case of the serial
// number's letters, and whatever the manufacturer string of a device found by its IDs.
struct Listed {
    const char* name;
    std::string transport;  // the configuration's "transport" object
    DeviceProfile profile;
};

struct ListedDevice : HidTest, ::testing::WithParamInterface<Listed> {};

TEST_P(ListedDevice, GetsASlotThatServesCalls) {
    orvotest::TestDir dir;
    dir.useAsConfig(R"({"timeout": 1000, "transport": )" + GetParam().transport + "}");
    const DeviceProfile& profile = GetParam().profile;
    Rig rig(profile);
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    CK_ULONG count = 0;
    ASSERT_EQ(C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    ASSERT_EQ(count, 1u);
    CK_TOKEN_INFO token{};
    EXPECT_EQ(C_GetTokenInfo(0, &token), CKR_OK);
    std::string serial(profile.serial->begin(), profile.serial->end());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(token.serialNumber), 16), serial.append(16 - serial.size(), ' '));
    EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, ListedDevice,
    ::testing::Values(
        Listed{"LowerCaseSerial", "{}", {.serial = L"0123456789ab"}},
        Listed{"OtherManufacturer", "{}", {.manufacturer = L"Other Maker"}},
        Listed{"ConfiguredIdsOtherManufacturer", R"({"vid": 4617, "pid": 7})",
               {.vendorId = 0x1209, .productId = 0x0007, .manufacturer = L"Other Maker"}},
        Listed{"ConfiguredVendorAnyProduct", R"({"vid": 4617, "pid": 0})",
               {.vendorId = 0x1209, .productId = 0x0007, .manufacturer = L"Other Maker", .serial = L"00000000cafe"}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Framings, EndToEnd, kBothFramings, framingTestName);

}  // namespace
}  // namespace hidtest
