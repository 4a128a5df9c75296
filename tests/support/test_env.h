// Each test runs in its own process; the library reads its configuration once, from the
// directory ORVO_CONFIG_PATH names. TestDir makes a fresh temporary directory for that.
#pragma once

#include <string>

namespace orvotest {

class TestDir {
public:
    TestDir();
    ~TestDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& contents) const;
    std::string read(const std::string& name) const;
    // Points the library's configuration search here, optionally with a configuration file.
    void useAsConfig(const std::string& json = "") const;

private:
    std::string path_;
};

}  // namespace orvotest
