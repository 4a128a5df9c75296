// Windows has no O_NOFOLLOW for CreateFile: a reparse point (symbolic link, junction) at the path
// is followed. Handles are made not inheritable, and the log file is created for its owner alone.
#include "platform/files.h"

#include <windows.h>

#include <algorithm>
#include <stdexcept>

#include "platform/windows/owner_only.h"

namespace dravenholt::platform {
namespace {

HANDLE handleOf(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

std::intptr_t valueOf(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

// One byte each: the lock itself, and the mark of its waiters.
constexpr DWORD kLockByte = 0, kWaitingByte = 1;

BOOL lockByte(std::intptr_t handle, DWORD byte, DWORD flags) {
    OVERLAPPED at{};
    at.Offset = byte;
    return ::LockFileEx(handleOf(handle), flags | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at);
}

BOOL unlockByte(std::intptr_t handle, DWORD byte) {
    OVERLAPPED at{};
    at.Offset = byte;
    return ::UnlockFileEx(handleOf(handle), 0, 1, 0, &at);
}

}  // namespace

void OpenFile::close() noexcept {
    if (handle_ != kClosed) ::CloseHandle(handleOf(std::exchange(handle_, kClosed)));
}

OpenFile OpenFile::forAppending(const std::string& path) {
    OwnerOnly security;
    if (!security.made()) return OpenFile();
    return OpenFile(valueOf(::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          security.attributes(), OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
}

bool OpenFile::append(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 20));
        DWORD written = 0;
        if (!::WriteFile(handleOf(handle_), text.data() + done, chunk, &written, nullptr) || written == 0)
            return false;
        done += written;
    }
    return true;
}

OpenFile OpenFile::forLocking(const std::string& path, bool& created) {
    SECURITY_ATTRIBUTES notInherited{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &notInherited, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open the lock file " + path + ": error " + std::to_string(::GetLastError()));
    created = ::GetLastError() != ERROR_ALREADY_EXISTS;
    OpenFile file(valueOf(handle));
    if (::GetFileType(handle) != FILE_TYPE_DISK)
        throw std::runtime_error("cannot use the lock file " + path + ": it is not a regular file");
    return file;
}

bool OpenFile::tryLock() {
    if (lockByte(handle_, kLockByte, LOCKFILE_EXCLUSIVE_LOCK)) return true;
    DWORD error = ::GetLastError();
    if (error == ERROR_LOCK_VIOLATION) return false;
    throw std::runtime_error("cannot lock the lock file: error " + std::to_string(error));
}

void OpenFile::unlock() {
    if (!unlockByte(handle_, kLockByte))
        throw std::runtime_error("cannot unlock the lock file: error " + std::to_string(::GetLastError()));
}

void OpenFile::markWaiting(bool waiting) noexcept {
    if (waiting) lockByte(handle_, kWaitingByte, 0);
    else unlockByte(handle_, kWaitingByte);
}

bool OpenFile::othersWaiting() noexcept {
    if (!lockByte(handle_, kWaitingByte, LOCKFILE_EXCLUSIVE_LOCK)) return ::GetLastError() == ERROR_LOCK_VIOLATION;
    unlockByte(handle_, kWaitingByte);
    return false;
}

}  // namespace dravenholt::platform
