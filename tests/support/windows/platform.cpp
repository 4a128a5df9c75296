#include "support/platform.h"

#include <windows.h>

#include <cstdlib>

namespace orvotest {

void setEnvironment(const std::string& name, const std::string& value) {
    ::_putenv_s(name.c_str(), value.c_str());
}

// An empty value removes the variable from the C runtime's environment.
void unsetEnvironment(const std::string& name) { ::_putenv_s(name.c_str(), ""); }

SharedLibrary::SharedLibrary(const std::string& path)
    : handle_(reinterpret_cast<void*>(::LoadLibraryA(path.c_str()))) {
    if (!handle_) error_ = "LoadLibrary failed with error " + std::to_string(::GetLastError());
}

SharedLibrary::~SharedLibrary() {
    if (handle_) ::FreeLibrary(static_cast<HMODULE>(handle_));
}

void* SharedLibrary::symbol(const char* name) const {
    return handle_ ? reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name)) : nullptr;
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
