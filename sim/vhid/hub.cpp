#include "vhid/hub.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace dravenholt::vhid {
namespace {

constexpr size_t kMaxReport = 65536;

sockaddr_un abstractAddress(const std::string& name, socklen_t& length) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    size_t size = std::min(name.size(), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, name.data(), size);  // leading NUL: abstract namespace
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + size);
    return address;
}

}  // namespace

Hub::Hub(std::string socketName, Handler handler, Closed closed)
    : socketName_(std::move(socketName)), handler_(std::move(handler)), closed_(std::move(closed)), owner_(getpid()) {
    listenFd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    socklen_t length = 0;
    sockaddr_un address = abstractAddress(socketName_, length);
    if (listenFd_ < 0 || wakeFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listenFd_, 16) != 0) {
        if (listenFd_ >= 0) ::close(listenFd_);
        if (wakeFd_ >= 0) ::close(wakeFd_);
        throw std::runtime_error("virtual HID device: cannot listen on " + socketName_);
    }
    thread_ = std::thread([this] { run(); });
}

Hub::~Hub() {
    if (getpid() != owner_) {  // a forked copy: the thread lives only in the owner
        thread_.detach();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        sentChanged_.notify_all();
    }
    wake();
    thread_.join();
    for (const auto& [fd, host] : hosts_) {
        ::close(fd);
        closed_(host);
    }
    ::close(listenFd_);
    ::close(wakeFd_);
}

void Hub::send(Bytes report, std::chrono::milliseconds delay) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.emplace(Clock::now() + delay, Pending{std::move(report), 0, true});
        ++queued_;
    }
    wake();
}

void Hub::flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t target = queued_;
    const uint64_t ticket = ++flushTicket_;
    lock.unlock();
    wake();
    lock.lock();
    sentChanged_.wait(lock, [&] { return (sent_ >= target && idleTicket_ >= ticket) || stopping_; });
}

int Hub::connectTo(const std::string& socketName) {
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    socklen_t length = 0;
    sockaddr_un address = abstractAddress(socketName, length);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void Hub::wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(wakeFd_, &one, sizeof one);
}

void Hub::run() {
    while (!stopping_) {
        uint64_t ticket;
        bool flushing;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ticket = flushTicket_;
            flushing = ticket > idleTicket_;
        }
        std::vector<pollfd> fds{{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        for (const auto& [fd, host] : hosts_) fds.push_back({fd, POLLIN, 0});
        int ready = ::poll(fds.data(), fds.size(), flushing ? 0 : pollTimeout());
        bool hostsWrote = false;
        if (ready > 0) {
            if (fds[1].revents & POLLIN) {
                uint64_t count;
                [[maybe_unused]] ssize_t ignored = ::read(wakeFd_, &count, sizeof count);
            }
            if (fds[0].revents & POLLIN) acceptHost();
            for (size_t i = 2; i < fds.size(); ++i) {
                const uint32_t host = hosts_.at(fds[i].fd);
                hostsWrote |= fds[i].revents != 0;
                if (fds[i].revents && !serveHost(fds[i].fd, host)) {
                    ::close(fds[i].fd);
                    hosts_.erase(fds[i].fd);
                    closed_(host);
                }
                sendDue();
            }
        }
        sendDue();
        // A pass that found nothing written: every report hosts wrote before the flush began
        // has been taken in.
        if (flushing && !hostsWrote) {
            std::lock_guard<std::mutex> lock(mutex_);
            idleTicket_ = ticket;
            sentChanged_.notify_all();
        }
    }
}

void Hub::acceptHost() {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) hosts_[fd] = nextHost_++;
}

bool Hub::serveHost(int fd, uint32_t host) {
    receiving_.resize(kMaxReport);
    ssize_t got = ::recv(fd, receiving_.data(), receiving_.size(), MSG_DONTWAIT);
    if (got < 0) return errno == EAGAIN || errno == EINTR;
    if (got == 0) return false;  // the host closed its handle
    const Bytes report(receiving_.begin(), receiving_.begin() + got);
    std::vector<Output> outputs = handler_(host, report);
    auto now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& output : outputs) pending_.emplace(now + output.delay, Pending{std::move(output.report), host});
    return true;
}

void Hub::sendDue() {
    std::vector<Pending> due;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto end = pending_.upper_bound(Clock::now());
        for (auto it = pending_.begin(); it != end; ++it) due.push_back(std::move(it->second));
        pending_.erase(pending_.begin(), end);
    }
    // A host whose queue is full loses the report, as a hidraw reader does.
    for (const Pending& p : due) {
        int last = -1;
        for (const auto& [fd, host] : hosts_) {
            if (host == p.lastTo) last = fd;
            else ::send(fd, p.report.data(), p.report.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        }
        if (last >= 0) ::send(last, p.report.data(), p.report.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    const auto bySend = std::count_if(due.begin(), due.end(), [](const Pending& p) { return p.queuedBySend; });
    if (bySend == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    sent_ += static_cast<uint64_t>(bySend);
    sentChanged_.notify_all();
}

int Hub::pollTimeout() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pending_.empty()) return -1;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(pending_.begin()->first - Clock::now());
    return static_cast<int>(std::max<int64_t>(wait.count(), 0));
}

}  // namespace dravenholt::vhid
