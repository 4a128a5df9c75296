#include "support/test_env.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace orvotest {

TestDir::TestDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orvo-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
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
    setenv("ORVO_CONFIG_PATH", path_.c_str(), 1);
}

}  // namespace orvotest
