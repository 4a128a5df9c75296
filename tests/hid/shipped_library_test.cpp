// The shipped library, loaded as a client loads it: the raw port interface over the real hidapi
// and hidapi's own functions under their own names.
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

TEST(ShippedLibrary, ExportsTheRawPortAndHidapiFunctions) {
    Library lib;
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    for (const char* name :
         {"pListDevices", "vFreeDeviceList", "pOpenPort", "bWrite", "bRead", "vClosePort", "hid_close",
          "hid_enumerate", "hid_error", "hid_exit", "hid_free_enumeration", "hid_get_feature_report",
          "hid_get_indexed_string", "hid_get_input_report", "hid_get_manufacturer_string",
          "hid_get_product_string", "hid_get_serial_number_string", "hid_init", "hid_open", "hid_open_path",
          "hid_read", "hid_read_timeout", "hid_send_feature_report", "hid_set_nonblocking", "hid_version",
          "hid_version_str", "hid_write"})
        EXPECT_NE(lib.get<void>(name), nullptr) << name;
    EXPECT_EQ(lib.get<void>("orvo_hid_input_report_length"), nullptr);
    EXPECT_EQ(lib.get<void>("orvo_hid_settle"), nullptr);
    // The version of the hidapi linked in.
    EXPECT_STREQ(lib.get<const char*()>("hid_version_str")(), HID_API_VERSION_STR);
}

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
}

}  // namespace
