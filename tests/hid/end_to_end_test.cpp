// The whole path from C_ calls through the HID pair, the HID transport and virtual USB devices
// to the simulator's engine and back, with an Orvo and a Tarnix device attached at once, each in
// one framing and then in the other.
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

using dravenholt::sim::Engine;

std::string text(const CK_UTF8CHAR* p, size_t n) {
    std::string s(reinterpret_cast<const char*>(p), n);
    return s.substr(0, s.find_last_not_of(' ') + 1);
}

CK_UTF8CHAR_PTR utf8(const std::string& s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s.data())); }

const Bytes kP256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

// A device of one product in one framing, answered by its own engine.
struct Device {
    const wchar_t* product;
    std::string serial;
    Framing framing;
    std::string soPin, userPin;
};

// A device answered by an engine of its own, whose token has the device's serial number.
std::shared_ptr<dravenholt::vhid::VirtualDevice> plugInSimulated(const DeviceProfile& profile) {
    dravenholt::sim::EngineOptions options;
    options.serialNumber = std::string(profile.serial->begin(), profile.serial->end());
    auto engine = std::make_shared<Engine>(options);
    return dravenholt::vhid::plugIn(profile, dravenholt::vhid::engineResponder(engine));
}

std::shared_ptr<dravenholt::vhid::VirtualDevice> plugInSimulated(const Device& d) {
    DeviceProfile profile = d.framing == Framing::U2f ? u2fProfile() : DeviceProfile{};
    profile.product = d.product;
    profile.serial = std::wstring(d.serial.begin(), d.serial.end());
    return plugInSimulated(profile);
}

// Initialises the token and leaves a read-write session logged in as the user.
CK_SESSION_HANDLE readyUser(CK_SLOT_ID slot, const Device& d) {
    std::string label = "hid";
    label.resize(32, ' ');
    EXPECT_EQ(C_InitToken(slot, utf8(d.soPin), d.soPin.size(), utf8(label)), CKR_OK);
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session), CKR_OK);
    EXPECT_EQ(C_Login(session, CKU_SO, utf8(d.soPin), d.soPin.size()), CKR_OK);
    EXPECT_EQ(C_InitPIN(session, utf8(d.userPin), d.userPin.size()), CKR_OK);
    EXPECT_EQ(C_Logout(session), CKR_OK);
    EXPECT_EQ(C_Login(session, CKU_USER, utf8(d.userPin), d.userPin.size()), CKR_OK);
    return session;
}

// An EC key pair made on the token signs 300 bytes (a request of several reports or frames);
// the token verifies the signature and refuses a damaged one.
void signAndVerify(CK_SESSION_HANDLE session) {
    CK_MECHANISM generate{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE pub[] = {{CKA_EC_PARAMS, const_cast<uint8_t*>(kP256.data()), kP256.size()},
                          {CKA_VERIFY, &yes, sizeof yes}};
    CK_ATTRIBUTE priv[] = {{CKA_SIGN, &yes, sizeof yes}};
    CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
    ASSERT_EQ(C_GenerateKeyPair(session, &generate, pub, 2, priv, 1, &publicKey, &privateKey), CKR_OK);

    CK_MECHANISM ecdsa{CKM_ECDSA_SHA256, nullptr, 0};
    Bytes data = pattern(300);
    Bytes signature(64);
    CK_ULONG length = signature.size();
    ASSERT_EQ(C_SignInit(session, &ecdsa, privateKey), CKR_OK);
    ASSERT_EQ(C_Sign(session, data.data(), data.size(), signature.data(), &length), CKR_OK);
    ASSERT_EQ(length, 64u);
    ASSERT_EQ(C_VerifyInit(session, &ecdsa, publicKey), CKR_OK);
    EXPECT_EQ(C_Verify(session, data.data(), data.size(), signature.data(), length), CKR_OK);
    signature[10] ^= 0x01;
    ASSERT_EQ(C_VerifyInit(session, &ecdsa, publicKey), CKR_OK);
    EXPECT_EQ(C_Verify(session, data.data(), data.size(), signature.data(), length), CKR_SIGNATURE_INVALID);
}

struct EndToEnd : HidTest, ::testing::WithParamInterface<Framing> {
    orvotest::TestDir dir;

    Framing other() const { return GetParam() == Framing::U2f ? Framing::Reports : Framing::U2f; }
};

TEST_P(EndToEnd, OrvoAndTarnixTokensOverHid) {
    dir.useAsConfig();
    const Device orvo{L"Orvo", "0000000000A1", GetParam(), "orvo-so", "orvo-user"};
    const Device tarnix{L"Tarnix", "0000000000B2", other(), "tarnix-so", "tarnix-user"};
    plugInSimulated(tarnix);
    plugInSimulated(orvo);
    dravenholt::vhid::plugIn({.serial = L"0000000000A1X"});  // 13 characters: no slot

    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    CK_ULONG count = 0;
    ASSERT_EQ(C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    ASSERT_EQ(count, 2u);

    // Slots follow the serial numbers' order; each reaches its own device.
    struct Expected {
        const Device& device;
        const char* description;
        CK_ULONG maxRsaBits;
    };
    const Expected slots[] = {{orvo, "Orvo USB", 4096}, {tarnix, "Tarnix USB", 2048}};
    for (CK_SLOT_ID slot = 0; slot < 2; ++slot) {
        SCOPED_TRACE(slots[slot].description);
        CK_SLOT_INFO info{};
        ASSERT_EQ(C_GetSlotInfo(slot, &info), CKR_OK);
        EXPECT_EQ(text(info.slotDescription, 64), slots[slot].description);
        EXPECT_EQ(info.flags & CKF_TOKEN_PRESENT, CKF_TOKEN_PRESENT);
        CK_MECHANISM_INFO mechanism{};
        ASSERT_EQ(C_GetMechanismInfo(slot, CKM_RSA_PKCS_KEY_PAIR_GEN, &mechanism), CKR_OK);
        EXPECT_EQ(mechanism.ulMaxKeySize, slots[slot].maxRsaBits);
        CK_TOKEN_INFO token{};
        ASSERT_EQ(C_GetTokenInfo(slot, &token), CKR_OK);
        EXPECT_EQ(text(token.serialNumber, 16), slots[slot].device.serial);
    }

    CK_SESSION_HANDLE orvoSession = readyUser(0, orvo);
    CK_SESSION_HANDLE tarnixSession = readyUser(1, tarnix);
    signAndVerify(orvoSession);
    signAndVerify(tarnixSession);

    // Each token keeps its own PINs.
    EXPECT_EQ(C_Logout(tarnixSession), CKR_OK);
    EXPECT_EQ(C_Login(tarnixSession, CKU_USER, utf8(orvo.userPin), orvo.userPin.size()), CKR_PIN_INCORRECT);
    EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
}

// Two processes share one device under the process lock file. Each sees every report the
// device sends (as with hidraw), yet takes only replies to its own requests: one process holds a
// read-only session, the other a read-write one, so a reply of the other's shows. Each process's
// handle is a client of the device of its own: finalising closes that process's sessions only,
// and leaving without it ends them too, so that none is left behind.
TEST_P(EndToEnd, TwoProcessesShareOneDeviceUnderTheLockFile) {
    dir.useAsConfig(R"({"lockfile": ")" + dir.file("orvo.lock") + "\"}");
    plugInSimulated({L"Orvo", "0000000000A1", GetParam(), "", ""});
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
    EXPECT_EQ(text(token.serialNumber, 16), std::string(profile.serial->begin(), profile.serial->end()));
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

INSTANTIATE_TEST_SUITE_P(Framings, EndToEnd, ::testing::Values(Framing::Reports, Framing::U2f),
                         [](const auto& info) { return info.param == Framing::U2f ? "OrvoU2f" : "OrvoReports"; });

}  // namespace
}  // namespace hidtest
