#include "support/test_env.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>


namespace orvotest {

// A fresh directory under the system's temporary directory, with '/' as the separator on every
// platform so that its paths can be written into JSON as they are.
TestDir::TestDir() {
    std::random_device random;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::filesystem::path candidate = base / ("orvo-test-" + std::to_string(random()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate.generic_string();
            return;
        }
    }
    throw std::runtime_error("no fresh temporary directory");
}

TestDir::~TestDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TestDir::write(const std::string& name, const std::string& contents) const {
    std::ofstream(file(name), std::ios::binary) << contents;
}

std::string TestDir::read(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void TestDir::useAsConfig(const std::string& json) const {
    if (!json.empty()) write("orvoconfig.json", json);
#ifdef _WIN32
    _putenv_s("ORVO_CONFIG_PATH", path_.c_str());
#else
    setenv("ORVO_CONFIG_PATH", path_.c_str(), 1);
#endif
}

}  // namespace orvotest
