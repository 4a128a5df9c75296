// The library initialised over simulated devices in-process, with small helpers for templates
// and the calls most tests start with.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "frame/pkcs11.h"
#include "inprocess/simulated_devices.h"
#include "reference/reference.h"
#include "support/test_env.h"

namespace simint {

using Bytes = std::vector<uint8_t>;
using simref::pattern;

inline const std::string kSoPin = "so-secret";
inline const std::string kUserPin = "user-secret";

inline CK_UTF8CHAR_PTR pin(const std::string& p) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(p.data())); }
inline CK_BYTE_PTR ptr(Bytes& b) { return b.data(); }

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
    void SetUp() override;
    void TearDown() override;

    // Installs `count` devices (state files in stateDir when given) and initialises the library.
    void start(size_t count = 1, const std::string& stateDir = "");
    void stop();

    // Label blank-padded to 32 bytes, both PINs set; a RW session logged in as the user.
    CK_SESSION_HANDLE readyUser(CK_SLOT_ID slot = 0);
    void initToken(CK_SLOT_ID slot = 0);

    CK_OBJECT_HANDLE create(CK_SESSION_HANDLE s, Template templ);
    CK_OBJECT_HANDLE secretKey(CK_SESSION_HANDLE s, CK_KEY_TYPE type, const Bytes& value, Template extra = {});
    std::pair<CK_OBJECT_HANDLE, CK_OBJECT_HANDLE> keyPair(CK_SESSION_HANDLE s, CK_MECHANISM_TYPE mechanism, Template pub,
                                                          Template priv);
    // The attribute's value by the two-call convention (size query first); CKR_OK expected.
    Bytes attribute(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);

    orvotest::TestDir dir;
    std::shared_ptr<dravenholt::sim::SimulatedDevices> devices;

private:
    bool running_ = false;
};

}  // namespace simint
