// The files the library opens at paths its configuration names (the log file and the process
// lock file). Such a path may lie in a directory that others can write to: the file is never
// opened through a symbolic link at its final name, and the handle is never inherited by
// programs the process starts. posix/ and windows/ implement it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace dravenholt::platform {

// An open file, closed when it goes.
class OpenFile {
public:
    OpenFile() = default;
    ~OpenFile() { close(); }
    OpenFile(OpenFile&& other) noexcept : handle_(std::exchange(other.handle_, kClosed)) {}
    OpenFile& operator=(OpenFile&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, kClosed);
        }
        return *this;
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    bool isOpen() const { return handle_ != kClosed; }
    void close() noexcept;

    // A log file: opened for appending (created when missing, readable and writable by its
    // owner alone); closed when the path cannot be opened. A FIFO is written to only when it
    // has a reader already; the open does not wait for one.
    static OpenFile forAppending(const std::string& path);
    // Writes the whole of `text` at the end of the file; false when that failed.
    bool append(const std::string& text);

    // A lock file: a regular file opened for reading and writing, created when missing (then
    // `created` is set). Throws std::runtime_error naming the path and the reason when it cannot
    // be opened or is no regular file.
    static OpenFile forLocking(const std::string& path, bool& created);
    // The exclusive lock of the file's first byte, without waiting: false while another process
    // holds it (or a lock over the whole file, as earlier versions took). Throws
    // std::runtime_error on other failures.
    bool tryLock();
    void unlock();  // throws std::runtime_error when the lock cannot be released
    // A shared lock of the second byte, held while a process waits for the first: another
    // process sees that someone waits. Failures are ignored: the mark only makes turns fairer.
    void markWaiting(bool waiting) noexcept;
    bool othersWaiting() noexcept;

private:
    // A file descriptor, or a HANDLE on Windows, whose INVALID_HANDLE_VALUE is -1 as well.
    static constexpr std::intptr_t kClosed = -1;
    explicit OpenFile(std::intptr_t handle) : handle_(handle) {}
    std::intptr_t handle_ = kClosed;
};

}  // namespace dravenholt::platform
