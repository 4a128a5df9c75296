// Which devices are listed, which interface a transport opens, and discovery from several threads
// at once (the raw port interface beside C_Initialize) keeping hidapi's enumeration and open
// from overlapping.
#include <memory>
#include <thread>

#include "frame/context.h"
#include "hid_test_support.h"
#include "orvo/raw_port.h"
#include "support/test_env.h"
#include "transport/hid_discovery.h"
#include "transport/hid_pair.h"

namespace hidtest {
namespace {

using dravenholt::vhid::plugIn;

// Through the raw port export, which hands out the discovery's list.
std::vector<std::string> listed(uint16_t vendorId, uint16_t productId) {
    std::unique_ptr<char*, void (*)(char**)> list(pListDevices(vendorId, productId), vFreeDeviceList);
    std::vector<std::string> out;
    if (!list) {
        ADD_FAILURE() << "no list";
        return out;
    }
    for (char** entry = list.get(); *entry; ++entry) out.emplace_back(*entry);
    return out;
}

// Which of the devices were opened.
std::vector<bool> opened(const std::vector<std::shared_ptr<dravenholt::vhid::VirtualDevice>>& devices) {
    std::vector<bool> out;
    for (const auto& device : devices) out.push_back(device->timesOpened() > 0);
    return out;
}

TEST_F(HidTest, ListIsSortedWithoutDuplicatesOrIncompleteDevices) {
    plugIn({.serial = L"BBBBBBBBBBBB"});
    plugIn({.serial = L"AAAAAAAAAAAA", .usagePage = 0xFF00});
    plugIn({.serial = L"AAAAAAAAAAAA", .usagePage = 0xF1D0, .interfaceNumber = 1});
    plugIn({.serial = L"0123456789ab"});
    plugIn({.serial = L"ABC"});
    plugIn({.serial = std::nullopt});
    plugIn({.serial = L""});
    plugIn({.manufacturer = std::nullopt, .serial = L"CCCCCCCCCCCC"});
    EXPECT_EQ(listed(0x0483, 0xA2AC),
              (std::vector<std::string>{"0123456789ab", "AAAAAAAAAAAA", "ABC", "BBBBBBBBBBBB"}));
}

TEST_F(HidTest, ManufacturerIsTestedOnlyWithoutVendorId) {
    plugIn({.manufacturer = L"Other Maker", .serial = L"111111111111"});
    plugIn({.manufacturer = L"Dravenholtique Ltd", .serial = L"222222222222"});
    plugIn({.vendorId = 0x1234, .serial = L"333333333333"});
    EXPECT_EQ(listed(0x0483, 0xA2AC), (std::vector<std::string>{"111111111111", "222222222222"}));
    EXPECT_EQ(listed(0, 0), (std::vector<std::string>{"333333333333"}));
    EXPECT_TRUE(listed(0x0483, 0x0001).empty());
    vFreeDeviceList(nullptr);
    // A transport without IDs looks by the manufacturer string: another maker's device is not found.
    EXPECT_EQ(thrownMessage([&] { openTransport("111111111111"); }), "Device not detected");
}

TEST_F(HidTest, SerialsAreCutTo255BytesAndUnrepresentableOnesAreIgnored) {
    plugIn({.serial = std::wstring(300, L'7')});
    plugIn({.serial = L"0123456789A\u00e9"});  // the C locale cannot represent it
    EXPECT_EQ(listed(0, 0), (std::vector<std::string>{std::string(255, '7')}));
}

TEST_F(HidTest, UsagePageChoosesAmongInterfacesOfOneDevice) {
    auto vendor = plugIn({.releaseNumber = 0x0100, .usagePage = 0xFF00}, echo);
    auto fido = plugIn({.releaseNumber = 0x0200, .usagePage = 0xF1D0, .interfaceNumber = 1}, echo);
    {
        auto transport = openTransport("0123456789AB");
        EXPECT_EQ(opened({vendor, fido}), (std::vector<bool>{true, false}));
        EXPECT_EQ(transport->getReleaseNumber(), 0x0100);
    }
    dravenholt::vhid::unplugAll();
    vendor = plugIn({.releaseNumber = 0x0100, .usagePage = 0xFF00}, echo);
    fido = plugIn({.releaseNumber = 0x0200, .usagePage = 0xF1D0, .interfaceNumber = 1}, echo);
    HidTransport transport;
    transport.setSerialNumber("0123456789AB");
    transport.setUsagePage(0xF1D0);
    transport.open();
    EXPECT_EQ(opened({vendor, fido}), (std::vector<bool>{false, true}));
    EXPECT_EQ(transport.getReleaseNumber(), 0x0200);
}

TEST_F(HidTest, IdsAloneOpenTheFirstMatchingInterfaceAndNothingOpensWithoutAny) {
    auto other = plugIn({.productId = 0x0001, .serial = L"000000000001"}, echo);
    auto first = plugIn({.manufacturer = L"Other Maker", .serial = L"000000000002"}, echo);
    auto second = plugIn({.serial = L"000000000003"}, echo);
    HidTransport transport;
    EXPECT_EQ(thrownMessage([&] { transport.open(); }), "Device not detected");
    transport.setDeviceIds(0x0483, 0xA2AC);
    transport.open();
    EXPECT_EQ(opened({other, first, second}), (std::vector<bool>{false, true, false}));
    // A product ID of 0 takes every product of the vendor, as the list does.
    transport.setDeviceIds(0x0483, 0);
    transport.open();
    EXPECT_EQ(opened({other, first, second}), (std::vector<bool>{true, true, false}));
}

TEST_F(HidTest, ProductNameAndSerialMustMatchTheSameInterface) {
    auto orvo = plugIn({.product = L"Orvo", .serial = L"111111111111"}, echo);
    auto tarnix = plugIn({.product = L"Tarnix", .serial = L"222222222222"}, echo);
    HidTransport mixed;
    mixed.setProductName("Tarnix");
    mixed.setSerialNumber("111111111111");
    EXPECT_EQ(thrownMessage([&] { mixed.open(); }), "Device not detected");

    HidTransport byName;
    byName.setProductName("Tarnix");
    byName.open();
    EXPECT_EQ(opened({orvo, tarnix}), (std::vector<bool>{false, true}));

    auto bySerial = openTransport("111111111111");
    EXPECT_EQ(bySerial->getProductName(), "Orvo");
}

TEST_F(HidTest, EnumerationAndOpenNeverOverlap) {
    orvotest::TestDir dir;
    dir.useAsConfig();
    dravenholt::vhid::plugIn({.serial = L"0000000000A1"}, echo);
    dravenholt::vhid::plugIn({.product = L"Tarnix", .serial = L"0000000000B2"}, echo);
    auto lister = [] {
        for (int i = 0; i < 50; ++i) vFreeDeviceList(pListDevices(0, 0));
    };
    auto initializer = [] {
        for (int i = 0; i < 20; ++i) {
            dravenholt::Context& context = dravenholt::getContext();
            EXPECT_EQ(dravenholt::listHidDevices(context.settings()).size(), 2u);
        }
    };
    auto opener = [] {
        for (int i = 0; i < 2; ++i) {
            HidTransport transport;
            transport.setProductName("Tarnix");
            EXPECT_NO_THROW(transport.open());
        }
    };
    std::thread a(lister), b(initializer), c(opener);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(dravenholt::vhid::overlappingEnumerations(), 0u);
}

}  // namespace
}  // namespace hidtest
