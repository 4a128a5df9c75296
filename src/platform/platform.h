// What the library needs from the operating system beyond the C++ standard library. posix/ and
// windows/ implement it; the build compiles the one of its target.
#pragma once

#include <string>

namespace dravenholt::platform {

// The separator of directory names in paths: '/' or '\'.
extern const char kPathSeparator;

// The current working directory, at most 260 characters; empty when it cannot be told.
std::string currentDirectory();

bool isDirectory(const std::string& path);

// The full path of the host process's executable file; empty when it cannot be told.
std::string executablePath();

// The operating system's identifier of the calling thread.
unsigned long long threadId();

}  // namespace dravenholt::platform
