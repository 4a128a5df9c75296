// The shipped library, loaded as a client loads it: the raw port interface over the real hidapi.
#include <dlfcn.h>
#include <hidapi/hidapi.h>

#include <gtest/gtest.h>

#include <cstdint>

namespace {

struct Library {
    void* handle = dlopen(ORVO_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ~Library() {
        if (handle) dlclose(handle);
    }
    template <typename F>
    F* get(const char* name) const {
        return reinterpret_cast<F*>(dlsym(handle, name));
    }
};

// scripts/check-exports.sh (run by the install test) checks the exported names themselves.
TEST(ShippedLibrary, RawPortWorksWithoutDevicesOrContext) {
    Library lib;
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    // Vendor and product IDs no device has.
    char** list = lib.get<char**(uint16_t, uint16_t)>("pListDevices")(0x0483, 0x0001);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[0], nullptr);
    lib.get<void(char**)>("vFreeDeviceList")(list);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ((lib.get<void*(uint16_t, uint16_t, uint32_t, const char*, const char*)>("pOpenPort")(
                  0x0483, 0x0001, 100, nullptr, "000000000000")),
              nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error opening port: Device not detected\n");
    EXPECT_STREQ(lib.get<const char*()>("hid_version_str")(), HID_API_VERSION_STR);  // the hidapi linked in
}

}  // namespace
