#include "orvo-admin/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace orvoadmin {
namespace {

struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

std::string reason() { return std::strerror(errno); }

// The directory that holds `path`, where the rename is recorded.
std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

void writePrivateFile(const std::string& path, const Bytes& contents) {
    const std::string temporary = path + ".tmp";
    {
        // Made here, now: whatever lay at the temporary name before (a file that would keep its
        // owner and mode, a symbolic link) is not written through.
        Descriptor file;
        file.fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (file.fd < 0) {
            if (errno == EEXIST) throw temporaryTaken(temporary);
            throw Failure("cannot write " + temporary + ": " + reason());
        }
        auto fail = [&](const std::string& action) {
            std::string why = reason();
            ::unlink(temporary.c_str());
            throw Failure(action + ": " + why);
        };
        size_t done = 0;
        while (done < contents.size()) {
            ssize_t n = ::write(file.fd, contents.data() + done, contents.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) fail("cannot write " + temporary);
            done += size_t(n);
        }
        if (::fsync(file.fd) != 0) fail("cannot write " + temporary);
        if (::rename(temporary.c_str(), path.c_str()) != 0) fail("cannot replace " + path);
    }
    Descriptor directory;
    directory.fd = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory.fd < 0 || ::fsync(directory.fd) != 0)
        throw Failure(path + " is written, but its directory could not be synced: " + reason());
}

}  // namespace orvoadmin
