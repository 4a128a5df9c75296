#include "platform/platform.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

namespace dravenholt::platform {

const char kPathSeparator = '/';

std::string currentDirectory() {
    char cwd[261];
    return ::getcwd(cwd, sizeof cwd) ? std::string(cwd) : std::string();
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string executablePath() {
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

unsigned long long threadId() { return static_cast<unsigned long long>(::syscall(SYS_gettid)); }

}  // namespace dravenholt::platform
