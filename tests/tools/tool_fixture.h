// orvo-admin against a simulated token behind a virtual USB HID device. Each test case runs in
// its own process; the library reads its configuration from a temporary directory.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "base/pkcs11.h"
#include "orvo-admin/cli.h"
#include "support/test_env.h"
#include "vhid/vhid.h"

namespace tooltest {

inline const std::string kSoPin = "so-secret";
inline const std::string kUserPin = "user-secret";

struct Outcome {
    int code;
    std::string out;
    std::string err;
};

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs orvo-admin with these words; the console gives the PINs in `pins`.
    Outcome tool(const std::vector<std::string>& args, bool interactive = false);

    // Library calls around the tool's: C_Initialize before `body`, C_Finalize after, so that the
    // tool finds the library as a program of its own would.
    template <class Body>
    void withLibrary(Body&& body) {
        ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
        body();
        C_Finalize(nullptr);
    }
    // Label, both PINs, and a user session left logged in (inside withLibrary).
    CK_SESSION_HANDLE readyUser();
    void addNote(CK_SESSION_HANDLE session, const std::string& value);
    bool initialised();

    orvotest::TestDir dir;
    std::shared_ptr<dravenholt::sim::Engine> engine;
    std::map<std::string, std::string> pins = {{"SO PIN", kSoPin}, {"user PIN", kUserPin}};
};

}  // namespace tooltest
