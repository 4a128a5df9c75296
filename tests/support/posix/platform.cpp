#include "support/platform.h"

#include <sys/mman.h>

#include <cstdlib>

namespace orvotest {

void setEnvironment(const std::string& name, const std::string& value) {
    ::setenv(name.c_str(), value.c_str(), 1);
}

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
