// orvo-admin against a simulated token behind a virtual USB HID device. Each test case runs in
// its own process; the library reads its configuration from a temporary directory.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "base/pkcs11.h"
#include "orvo-admin/cli.h"
#include "support/test_env.h"
#include "vhid/vhid.h"

namespace tooltest {

inline const std::string kSoPin = "so-secret";

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
    Outcome tool(const std::vector<std::string>& args);

    // Label and both PINs, through the library, which is finalised again so that the tool finds
    // it as a program of its own would.
    void initialiseToken();

    orvotest::TestDir dir;
    std::shared_ptr<dravenholt::sim::Engine> engine;
    std::map<std::string, std::string> pins = {{"SO PIN", kSoPin}};
};

}  // namespace tooltest
