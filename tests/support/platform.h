// What the tests need from the operating system: environment variables and loading the shipped
// library as an application does. posix/ and windows/ implement it.
#pragma once

#include <string>

namespace orvotest {

void setEnvironment(const std::string& name, const std::string& value);
void unsetEnvironment(const std::string& name);

// A shared library loaded for the lifetime of the object.
class SharedLibrary {
public:
    explicit SharedLibrary(const std::string& path);
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    bool loaded() const { return handle_ != nullptr; }
    const std::string& error() const { return error_; }
    template <class Function>
    Function* get(const char* name) const {
        return reinterpret_cast<Function*>(symbol(name));
    }

private:
    void* symbol(const char* name) const;
    void* handle_ = nullptr;
    std::string error_;
};

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
