// The input report length of a hidraw node, from its report descriptor (hidraw ioctls).
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "transport/hid_descriptor.h"
#include "transport/hid_platform.h"

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

extern "C" int orvo_hid_input_report_length(const char* path) {
    if (!path) return -1;
    FileDescriptor fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return -1;
    int size = 0;
    if (::ioctl(fd.get(), HIDIOCGRDESCSIZE, &size) < 0 || size <= 0) return -1;
    hidraw_report_descriptor descriptor{};
    descriptor.size = static_cast<__u32>(std::min(size, HID_MAX_DESCRIPTOR_SIZE));
    if (::ioctl(fd.get(), HIDIOCGRDESC, &descriptor) < 0) return -1;
    auto length = dravenholt::inputReportLength(descriptor.value, descriptor.size);
    return length && *length <= static_cast<size_t>(INT_MAX) ? static_cast<int>(*length) : -1;
}
