// The library initialised over one simulated device in-process, with small helpers for
// templates and the calls most tests start with. What the engine itself decides is tested in
// tests/sim; these tests are about the library and the engine agreeing on what travels.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <vector>

#include "frame/pkcs11.h"
#include "inprocess/simulated_devices.h"
#include "reference/reference.h"
#include "support/test_env.h"

namespace simint {

using Bytes = std::vector<uint8_t>;
using simref::pattern;

inline CK_BYTE_PTR ptr(Bytes& b) { return b.data(); }
inline CK_ULONG size(const Bytes& b) { return CK_ULONG(b.size()); }

// A CK_ATTRIBUTE template that owns its values, in the host's types.
class Template {
public:
    Template& ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG value) { return add(type, &value, sizeof value); }
    Template& boolean(CK_ATTRIBUTE_TYPE type, bool value) {
        CK_BBOOL b = value ? CK_TRUE : CK_FALSE;
        return add(type, &b, sizeof b);
    }
    Template& bytes(CK_ATTRIBUTE_TYPE type, const Bytes& value) { return add(type, value.data(), value.size()); }
    // Built on each call, so that a copied template points at its own values; never null, as
    // the library refuses null templates.
    CK_ATTRIBUTE_PTR data();
    CK_ULONG size() const { return CK_ULONG(values_.size()); }

private:
    Template& add(CK_ATTRIBUTE_TYPE type, const void* value, size_t length);
    std::deque<Bytes> values_;
    std::vector<CK_ATTRIBUTE_TYPE> types_;
    std::vector<CK_ATTRIBUTE> attrs_;
    CK_ATTRIBUTE none_{};
};

class SimTest : public ::testing::Test {
protected:
    // One simulated device; the library initialised; its token initialised with both PINs and
    // `session` a RW session logged in as the user.
    void SetUp() override;
    void TearDown() override;

    CK_OBJECT_HANDLE create(Template templ);
    CK_OBJECT_HANDLE secretKey(CK_KEY_TYPE type, const Bytes& value, Template extra = {});
    std::pair<CK_OBJECT_HANDLE, CK_OBJECT_HANDLE> keyPair(CK_MECHANISM_TYPE mechanism, Template pub, Template priv);
    // The attribute's value by the two-call convention (size query first); CKR_OK expected.
    Bytes attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
    // C_EncryptInit and C_Encrypt into a buffer with room to spare; CKR_OK expected.
    Bytes encrypt(CK_MECHANISM m, CK_OBJECT_HANDLE key, Bytes in);

    orvotest::TestDir dir;
    std::shared_ptr<dravenholt::sim::SimulatedDevices> devices;
    CK_SESSION_HANDLE session = 0;
};

}  // namespace simint
