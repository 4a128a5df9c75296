// HID strings: hidapi's wide strings (32-bit wchar_t on Linux, UTF-16 on Windows) become the
// byte strings that discovery compares and stores.
#include <gtest/gtest.h>

#include "transport/hid_text.h"

using dravenholt::isMakersDevice;
using dravenholt::narrowHidString;

TEST(HidText, WideStringsBecomeAtMost255BytesOfTheCurrentLocale) {
    EXPECT_EQ(narrowHidString(L"0123456789AB"), "0123456789AB");
    EXPECT_EQ(narrowHidString(L""), "");
    EXPECT_EQ(narrowHidString(nullptr), std::nullopt);
    // A string that fills the whole 256-byte buffer keeps 255 bytes; a shorter one all of them.
    EXPECT_EQ(narrowHidString(std::wstring(255, L'S').c_str()), std::string(255, 'S'));
    EXPECT_EQ(narrowHidString(std::wstring(256, L'S').c_str()), std::string(255, 'S'));
    EXPECT_EQ(narrowHidString(std::wstring(400, L'S').c_str()), std::string(255, 'S'));
    // A character that the C locale cannot represent makes the string count as absent.
    EXPECT_EQ(narrowHidString(L"serial \u20ac"), std::nullopt);
}

TEST(HidText, OnlyTheWholeMakersNameIsTheMaker) {
    EXPECT_TRUE(isMakersDevice(L"Dravenholtique"));
    EXPECT_FALSE(isMakersDevice(L"Dravenholtique GmbH"));
    EXPECT_FALSE(isMakersDevice(L"dravenholtique"));
    EXPECT_FALSE(isMakersDevice(nullptr));
}
