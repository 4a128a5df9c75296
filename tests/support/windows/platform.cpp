#include "support/platform.h"

#include <windows.h>

#include <cstdlib>

namespace orvotest {

void setEnvironment(const std::string& name, const std::string& value) {
    ::_putenv_s(name.c_str(), value.c_str());
}

constexpr SIZE_T kPageSize = 4096;

ReadOnlyPage::ReadOnlyPage() : page_(::VirtualAlloc(nullptr, kPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) {}

ReadOnlyPage::~ReadOnlyPage() {
    if (page_) ::VirtualFree(page_, 0, MEM_RELEASE);
}

bool ReadOnlyPage::seal() {
    DWORD old = 0;
    return page_ && ::VirtualProtect(page_, kPageSize, PAGE_READONLY, &old);
}

}  // namespace orvotest
