#include "support/platform.h"

#include <dlfcn.h>
#include <sys/mman.h>

#include <cstdlib>

namespace orvotest {

void setEnvironment(const std::string& name, const std::string& value) {
    ::setenv(name.c_str(), value.c_str(), 1);
}

void unsetEnvironment(const std::string& name) { ::unsetenv(name.c_str()); }

SharedLibrary::SharedLibrary(const std::string& path) : handle_(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (!handle_) error_ = ::dlerror();
}

SharedLibrary::~SharedLibrary() {
    if (handle_) ::dlclose(handle_);
}

void* SharedLibrary::symbol(const char* name) const { return handle_ ? ::dlsym(handle_, name) : nullptr; }

constexpr size_t kPageSize = 4096;

ReadOnlyPage::ReadOnlyPage() {
    void* page = ::mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    page_ = page == MAP_FAILED ? nullptr : page;
}

ReadOnlyPage::~ReadOnlyPage() {
    if (page_) ::munmap(page_, kPageSize);
}

bool ReadOnlyPage::seal() { return page_ && ::mprotect(page_, kPageSize, PROT_READ) == 0; }

}  // namespace orvotest
