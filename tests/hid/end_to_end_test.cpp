// The whole path from C_ calls through the HID pair, the HID transport and virtual USB devices
// to the simulator's engine: processes sharing one device, and every listed device opening.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "engine/engine.h"
#include "vhid/engine_device.h"
#include "frame/context.h"
#include "hid_test_support.h"
#include "support/test_env.h"

namespace hidtest {
namespace {

CK_UTF8CHAR_PTR utf8(const std::string& s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s.data())); }

// A device answered by an engine of its own, whose token has the device's serial number.
std::shared_ptr<dravenholt::vhid::VirtualDevice> plugInSimulated(const DeviceProfile& profile) {
    dravenholt::sim::EngineOptions options;
    options.serialNumber = std::string(profile.serial->begin(), profile.serial->end());
    auto engine = std::make_shared<dravenholt::sim::Engine>(options);
    return dravenholt::vhid::plugIn(profile, dravenholt::vhid::engineResponder(engine));
}

struct EndToEnd : HidTest, ::testing::WithParamInterface<Framing> {
    orvotest::TestDir dir;
};

// Two processes share one device under the process lock file. Each sees every report the
// device sends (as with hidraw), yet takes only replies to its own requests: one process holds a
// read-only session, the other a read-write one, so a reply of the other's shows. Each process's
// handle is a client of the device of its own: finalising closes that process's sessions only,
// and leaving without it ends them too, so that none is left behind.
TEST_P(EndToEnd, TwoProcessesShareOneDeviceUnderTheLockFile) {
    dir.useAsConfig(R"({"lockfile": ")" + dir.file("orvo.lock") + "\"}");
    plugInSimulated(profileFor(GetParam()));
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
    const CK_FLAGS kinds[2] = {0, CKF_RW_SESSION};
    pid_t children[2];
    for (int i = 0; i < 2; ++i) {
        children[i] = fork();
        ASSERT_GE(children[i], 0);
        if (children[i] == 0) _exit(client(kinds[i]));
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    std::string label(32, ' '), soPin = "sopin123";
    CK_RV rv = CKR_SESSION_EXISTS;
    for (auto end = std::chrono::steady_clock::now() + 5s; rv == CKR_SESSION_EXISTS && std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(10ms))
        rv = C_InitToken(0, utf8(soPin), soPin.size(), utf8(label));
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

void PrintTo(const Listed& c, std::ostream* out) { *out << c.name; }

struct ListedDevice : HidTest, ::testing::WithParamInterface<Listed> {};

TEST_P(ListedDevice, GetsASlotThatServesCalls) {
    orvotest::TestDir dir;
    dir.useAsConfig(R"({"timeout": 1000, "transport": )" + GetParam().transport + "}");
    const DeviceProfile& profile = GetParam().profile;
    plugInSimulated(profile);
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
