#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace dravenholt::platform {
namespace {

// Opens without following a symbolic link at the final name and close-on-exec. O_NONBLOCK keeps
// the open itself from waiting for a reader when a FIFO lies at the path; it is taken off again
// so that writes and locks behave as on any file.
int openHere(const std::string& path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fd;
    int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

std::string reason(int error) {
    return error == ELOOP ? "it is a symbolic link, which is not followed" : std::strerror(error);
}

// fcntl's record locks, on one byte each: the lock itself, and the mark of its waiters.
constexpr off_t kLockByte = 0, kWaitingByte = 1;

struct flock byteLock(short type, off_t byte) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    return lock;
}

bool setLock(int fd, short type) {
    struct flock lock = byteLock(type, kLockByte);
    while (::fcntl(fd, F_SETLK, &lock) != 0) {
        if (errno == EINTR) continue;
        if (errno == EACCES || errno == EAGAIN) return false;
        throw std::runtime_error(std::string("cannot ") + (type == F_UNLCK ? "unlock" : "lock") +
                                 " the lock file: " + std::strerror(errno));
    }
    return true;
}

}  // namespace

void OpenFile::close() noexcept {
    if (handle_ != kClosed) ::close(static_cast<int>(std::exchange(handle_, kClosed)));
}

OpenFile OpenFile::forAppending(const std::string& path) {
    return OpenFile(openHere(path, O_WRONLY | O_APPEND | O_CREAT, 0600));
}

bool OpenFile::append(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(static_cast<int>(handle_), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

OpenFile OpenFile::forLocking(const std::string& path, bool& created) {
    created = false;
    int fd = openHere(path, O_RDWR, 0);
    if (fd < 0 && errno == ENOENT) {
        created = true;
        fd = openHere(path, O_RDWR | O_CREAT, 0666);  // every user's processes take its lock
    }
    if (fd < 0) throw std::runtime_error("cannot open the lock file " + path + ": " + reason(errno));
    OpenFile file(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw std::runtime_error("cannot use the lock file " + path + ": it is not a regular file");
    return file;
}

bool OpenFile::tryLock() { return setLock(static_cast<int>(handle_), F_WRLCK); }

void OpenFile::unlock() { setLock(static_cast<int>(handle_), F_UNLCK); }

void OpenFile::markWaiting(bool waiting) noexcept {
    struct flock lock = byteLock(waiting ? F_RDLCK : F_UNLCK, kWaitingByte);
    ::fcntl(static_cast<int>(handle_), F_SETLK, &lock);
}

bool OpenFile::othersWaiting() noexcept {
    struct flock lock = byteLock(F_WRLCK, kWaitingByte);
    return ::fcntl(static_cast<int>(handle_), F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

}  // namespace dravenholt::platform
