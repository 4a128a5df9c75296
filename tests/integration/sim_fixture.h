// The library initialised over simulated devices in-process, with helpers that reach the
// engine directly for what the library does not offer yet.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "frame/pkcs11.h"
#include "inprocess/simulated_devices.h"
#include "reference/reference.h"
#include "support/test_env.h"

namespace simint {

using Bytes = std::vector<uint8_t>;

inline const std::string kSoPin = "so-secret";
inline const std::string kUserPin = "user-secret";

inline CK_UTF8CHAR_PTR pin(const std::string& p) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(p.data())); }
inline CK_BYTE_PTR ptr(Bytes& b) { return b.data(); }

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

    // Creates a token object on the device behind `slot` through the engine itself (the
    // library's object calls land later); the user must be logged in for private objects.
    uint32_t createDirect(CK_SLOT_ID slot, const std::vector<dravenholt::wire::Attribute>& templ);
    std::pair<uint32_t, uint32_t> keyPairDirect(CK_SLOT_ID slot, uint32_t mechanism,
                                                const std::vector<dravenholt::wire::Attribute>& pub,
                                                const std::vector<dravenholt::wire::Attribute>& priv);
    Bytes attributeDirect(CK_SLOT_ID slot, uint32_t object, uint32_t type);

    orvotest::TestDir dir;
    std::shared_ptr<dravenholt::sim::SimulatedDevices> devices;

private:
    dravenholt::wire::Response direct(CK_SLOT_ID slot, dravenholt::wire::Request req);
    uint32_t directSession(CK_SLOT_ID slot);
    bool running_ = false;
};

using simref::bytes;
using simref::flag;
using simref::num;
using simref::pattern;

}  // namespace simint
