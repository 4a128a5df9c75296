// What the tests need from the operating system: environment variables and read-only memory.
// posix/ and windows/ implement it.
#pragma once

#include <string>

namespace orvotest {

void setEnvironment(const std::string& name, const std::string& value);

// One page of memory: written through data() until seal(), read-only after it, as constant data
// of a program is.
class ReadOnlyPage {
public:
    ReadOnlyPage();
    ~ReadOnlyPage();
    ReadOnlyPage(const ReadOnlyPage&) = delete;
    ReadOnlyPage& operator=(const ReadOnlyPage&) = delete;

    void* data() const { return page_; }
    bool seal();

private:
    void* page_ = nullptr;
};

}  // namespace orvotest
