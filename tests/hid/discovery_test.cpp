// Which devices are listed and which interface a transport opens; the raw port exports, also those
// of the shipped library with the real hidapi.
#include <dlfcn.h>

#include <memory>
#include <thread>

#include "frame/context.h"
#include "hid_test_support.h"
#include "orvo/raw_port.h"
#include "support/test_env.h"
#include "transport/hid_pair.h"

namespace hidtest {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using Strings = std::vector<std::string>;

// Through the raw port export, which hands out the discovery's list.
Strings listed(uint16_t vendorId, uint16_t productId) {
    std::unique_ptr<char*, void (*)(char**)> list(pListDevices(vendorId, productId), vFreeDeviceList);
    Strings out;
    for (char** entry = list.get(); entry && *entry; ++entry) out.emplace_back(*entry);
    EXPECT_TRUE(list) << "no list";
    return out;
}

// Serials are cut to 255 bytes; one the C locale cannot represent is ignored like a missing one.
TEST_F(HidTest, ListIsSortedWithoutDuplicatesOrIncompleteDevices) {
    plugIn({.serial = L"BBBBBBBBBBBB"});
    plugIn({.serial = L"AAAAAAAAAAAA", .usagePage = 0xFF00});
    plugIn({.serial = L"AAAAAAAAAAAA", .usagePage = 0xF1D0, .interfaceNumber = 1});
    plugIn({.serial = L"0123456789ab"});
    plugIn({.serial = L"ABC"});
    plugIn({.serial = std::nullopt});
    plugIn({.serial = L""});
    plugIn({.manufacturer = std::nullopt, .serial = L"CCCCCCCCCCCC"});
    plugIn({.serial = std::wstring(300, L'7')});
    plugIn({.serial = L"0123456789A\u00e9"});
    EXPECT_EQ(listed(0x0483, 0xA2AC),
              (Strings{"0123456789ab", std::string(255, '7'), "AAAAAAAAAAAA", "ABC", "BBBBBBBBBBBB"}));
}

TEST_F(HidTest, ManufacturerIsTestedOnlyWithoutVendorId) {
    plugIn({.manufacturer = L"Other Maker", .serial = L"111111111111"});
    plugIn({.manufacturer = L"Dravenholtique Ltd", .serial = L"222222222222"});
    plugIn({.vendorId = 0x1234, .serial = L"333333333333"});
    EXPECT_EQ(listed(0x0483, 0xA2AC), (Strings{"111111111111", "222222222222"}));
    EXPECT_EQ(listed(0, 0), (Strings{"333333333333"}));
    EXPECT_TRUE(listed(0x0483, 0x0001).empty());
    vFreeDeviceList(nullptr);
    // A transport without IDs looks by the manufacturer string: another maker's device is not found.
    EXPECT_EQ(thrownMessage([&] { openTransport("111111111111"); }), "Device not detected");
}

TEST_F(HidTest, UsagePageChoosesAmongInterfacesOfOneDevice) {
    auto vendor = plugIn({.releaseNumber = 0x0100, .usagePage = 0xFF00}, echo);
    auto fido = plugIn({.releaseNumber = 0x0200, .usagePage = 0xF1D0, .interfaceNumber = 1}, echo);
    EXPECT_EQ(openTransport()->getReleaseNumber(), 0x0100);
    EXPECT_EQ(std::pair(vendor->timesOpened(), fido->timesOpened()), std::pair(size_t{1}, size_t{0}));
    HidTransport transport;
    transport.setSerialNumber("0123456789AB");
    transport.setUsagePage(0xF1D0);
    transport.open();
    EXPECT_EQ(std::pair(vendor->timesOpened(), fido->timesOpened()), std::pair(size_t{1}, size_t{1}));
    EXPECT_EQ(transport.getReleaseNumber(), 0x0200);
}

TEST_F(HidTest, ProductNameAndSerialMustMatchTheSameInterface) {
    auto orvo = plugIn({.product = L"Orvo", .serial = L"111111111111"}, echo);
    auto tarnix = plugIn({.product = L"Tarnix", .serial = L"222222222222"}, echo);
    HidTransport mixed, none;  // nothing opens without any criteria either
    mixed.setProductName("Tarnix");
    mixed.setSerialNumber("111111111111");
    EXPECT_EQ(thrownMessage([&] { mixed.open(); }), "Device not detected");
    EXPECT_EQ(thrownMessage([&] { none.open(); }), "Device not detected");

    HidTransport byName;
    byName.setProductName("Tarnix");
    byName.open();
    EXPECT_EQ(std::pair(orvo->timesOpened(), tarnix->timesOpened()), std::pair(size_t{0}, size_t{1}));
    EXPECT_EQ(openTransport("111111111111")->getProductName(), "Orvo");
}

TEST_F(HidTest, EnumerationAndOpenNeverOverlap) {
    orvotest::TestDir dir;
    dir.useAsConfig();
    plugIn({.serial = L"0000000000A1"}, echo);
    plugIn({.product = L"Tarnix", .serial = L"0000000000B2"}, echo);
    std::thread lister([] {
        for (int i = 0; i < 50; ++i) vFreeDeviceList(pListDevices(0, 0));
    });
    std::thread initializer([] {
        for (int i = 0; i < 20; ++i)
            EXPECT_EQ(dravenholt::listHidDevices(dravenholt::getContext().settings()).size(), 2u);
    });
    std::thread opener([] {
        for (int i = 0; i < 2; ++i) {
            HidTransport transport;
            transport.setProductName("Tarnix");
            EXPECT_NO_THROW(transport.open());
        }
    });
    for (std::thread* t : {&lister, &initializer, &opener}) t->join();
    EXPECT_EQ(dravenholt::vhid::overlappingEnumerations(), 0u);
}

// A port that cannot open prints why (one that finds no device: ShippedLibrary below). A reply is
// handed out in the pieces asked for; a closed port (which stays valid: no export releases one)
// still hands out what its queue holds, and fails beyond it.
TEST_F(HidTest, PortExchangesBytesAndFailsCleanlyOnceClosed) {
    auto device = plugIn({.product = L"Tarnix"}, sized(150));
    device->setFaults({.refuseOpen = true});
    CaptureStderr();
    EXPECT_EQ(pOpenPort(0, 0, 1000, "Tarnix", nullptr), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "Error opening port: Unable to connect to device\n");
    device->setFaults({});
    std::unique_ptr<void, void (*)(void*)> owner(pOpenPort(0, 0, 1000, "Tarnix", nullptr),
                                                 [](void* p) { delete static_cast<dravenholt::Transport*>(p); });
    void* port = owner.get();
    ASSERT_NE(port, nullptr);
    Bytes reply(150);
    // Reads `asked` bytes into the reply at `at`: whether it worked, and how many came.
    auto read = [&](void* from, size_t at, uint32_t asked) {
        bool ok = bRead(from, reply.data() + at, &asked);
        return std::pair{ok, asked};
    };
    const uint8_t request[] = {3, 4};
    EXPECT_TRUE(bWrite(port, request, sizeof request));
    EXPECT_EQ(read(port, 0, 50), std::pair(true, 50u));
    EXPECT_EQ(read(port, 50, 0), std::pair(true, 0u));
    vClosePort(port);

    CaptureStderr();
    EXPECT_FALSE(bWrite(port, request, 1));
    EXPECT_EQ(GetCapturedStderr(), "Error writing to port Null handle\n");
    EXPECT_EQ(read(port, 50, 100), std::pair(true, 100u));
    EXPECT_EQ(reply, sized(150)({3}));
    CaptureStderr();
    EXPECT_EQ(read(port, 0, 10), std::pair(false, 0u));
    EXPECT_EQ(GetCapturedStderr(), "Error reading from portNull handle\n");
    vClosePort(port);
    // No port at all.
    EXPECT_FALSE(bWrite(nullptr, reply.data(), 4));
    EXPECT_EQ(read(nullptr, 0, 4), std::pair(false, 4u));
    vClosePort(nullptr);
}

// Loaded as a client loads it. scripts/check-exports.sh (run by the install test) checks the
// exported names themselves.
TEST(ShippedLibrary, RawPortWorksWithoutDevicesOrContext) {
    std::unique_ptr<void, int (*)(void*)> lib(dlopen(ORVO_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL), dlclose);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto get = [&](const char* name) { return dlsym(lib.get(), name); };
    // Vendor and product IDs no device has.
    char** list = reinterpret_cast<char** (*)(uint16_t, uint16_t)>(get("pListDevices"))(0x0483, 0x0001);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[0], nullptr);
    reinterpret_cast<void (*)(char**)>(get("vFreeDeviceList"))(list);
    CaptureStderr();
    auto open = reinterpret_cast<void* (*)(uint16_t, uint16_t, uint32_t, const char*, const char*)>(get("pOpenPort"));
    EXPECT_EQ(open(0x0483, 0x0001, 100, nullptr, "000000000000"), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "Error opening port: Device not detected\n");
    EXPECT_STREQ(reinterpret_cast<const char* (*)()>(get("hid_version_str"))(), HID_API_VERSION_STR);  // the hidapi linked in
}

}  // namespace
}  // namespace hidtest
