// Discovery from several threads at once (the raw port interface beside C_Initialize) keeps
// hidapi's enumeration and open from overlapping.
#include <thread>

#include "frame/context.h"
#include "hid_test_support.h"
#include "orvo/raw_port.h"
#include "support/test_env.h"
#include "transport/hid_discovery.h"
#include "transport/hid_pair.h"

namespace hidtest {
namespace {

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
