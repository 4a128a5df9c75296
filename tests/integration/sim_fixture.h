// The library initialised over one simulated device in-process, its token initialised with both
// PINs and `session` a RW session logged in as the user. What the engine itself decides is
// tested in tests/sim; these tests are about the library and the engine agreeing on what travels.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

#include "base/pkcs11.h"
#include "inprocess/simulated_devices.h"
#include "reference/reference.h"
#include "support/test_env.h"

namespace simint {

using Bytes = std::vector<uint8_t>;
using Attributes = std::vector<CK_ATTRIBUTE>;
using simref::pattern;

inline CK_BYTE_PTR ptr(Bytes& b) { return b.data(); }
inline CK_ULONG size(const Bytes& b) { return CK_ULONG(b.size()); }

class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    CK_OBJECT_HANDLE create(Attributes templ);
    CK_OBJECT_HANDLE secretKey(CK_KEY_TYPE type, Bytes value, Attributes extra = {});
    std::pair<CK_OBJECT_HANDLE, CK_OBJECT_HANDLE> keyPair(CK_MECHANISM_TYPE mechanism, Attributes pub, Attributes priv);
    // The attribute's value by the two-call convention (size query first); CKR_OK expected.
    Bytes attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
    // C_EncryptInit and C_Encrypt into a buffer with room to spare; CKR_OK expected.
    Bytes encrypt(CK_MECHANISM m, CK_OBJECT_HANDLE key, Bytes in);

    orvotest::TestDir dir;
    std::shared_ptr<dravenholt::sim::SimulatedDevices> devices;
    CK_SESSION_HANDLE session = 0;
};

}  // namespace simint
