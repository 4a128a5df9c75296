#include <gtest/gtest.h>

#include "frame/pkcs11.h"
#include "support/test_env.h"

TEST(Smoke, InitializeWithoutDevices) {
    orvotest::TestDir dir;
    dir.useAsConfig();
    EXPECT_EQ(C_Initialize(nullptr), CKR_OK);
}
