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

}  // namespace

void writePrivateFile(const std::string& path, const Bytes& contents) {
    const std::string temporary = path + ".tmp";
    auto fail = [&](const std::string& action) {
        std::string why = reason();
        ::unlink(temporary.c_str());
        throw Failure(action + ": " + why);
    };
    {
        Descriptor file;
        file.fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (file.fd < 0) throw Failure("cannot write " + temporary + ": " + reason());
        size_t done = 0;
        while (done < contents.size()) {
            ssize_t n = ::write(file.fd, contents.data() + done, contents.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) fail("cannot write " + temporary);
            done += size_t(n);
        }
        if (::fsync(file.fd) != 0) fail("cannot write " + temporary);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) fail("cannot replace " + path);
}

}  // namespace orvoadmin
