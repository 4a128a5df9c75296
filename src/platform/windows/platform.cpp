#include "platform/platform.h"

#include <windows.h>

#include <vector>

namespace dravenholt::platform {

const char kPathSeparator = '\\';

std::string currentDirectory() {
    char cwd[261];
    DWORD n = ::GetCurrentDirectoryA(sizeof cwd, cwd);
    return n > 0 && n < sizeof cwd ? std::string(cwd, n) : std::string();
}

bool isDirectory(const std::string& path) {
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string executablePath() {
    // The path of the process's executable (not of this library), in a buffer grown until the
    // whole path fits.
    for (DWORD size = MAX_PATH; size <= 32768; size *= 2) {
        std::vector<char> path(size);
        DWORD n = ::GetModuleFileNameA(nullptr, path.data(), size);
        if (n == 0) return std::string();
        if (n < size) return std::string(path.data(), n);
    }
    return std::string();
}

unsigned long long threadId() { return ::GetCurrentThreadId(); }

}  // namespace dravenholt::platform
