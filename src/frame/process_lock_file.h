// The process lock file: shared with every process that names the same file, taken around each
// exchange with a device so that the exchanges of different processes never interleave.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/files.h"

namespace dravenholt {

class ProcessLockFile {
public:
    // Opens the file, creating it when missing (then `created` is set). Throws
    // std::runtime_error when it cannot be opened.
    ProcessLockFile(std::string path, bool& created)
        : file_(platform::OpenFile::forLocking(path, created)), path_(std::move(path)) {}

    // Takes the lock, waiting at most `timeoutMs`; throws DeviceError naming the file when
    // another process holds it for longer.
    void lock(uint32_t timeoutMs);
    void unlock() { file_.unlock(); }

private:
    platform::OpenFile file_;
    std::string path_;
};

}  // namespace dravenholt
