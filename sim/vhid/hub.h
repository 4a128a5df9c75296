// The device end of a virtual HID device: a thread that accepts host connections on an abstract
// Unix socket, passes every report a host writes to a handler, and sends the handler's input
// reports, when they fall due, to every connected host (as hidraw hands every input report to
// every open file). Reports that fall due at once go out before the next host report is read.
// A reply reaches the host that asked for it last: hidraw fills every reader's queue in one pass
// before any reader wakes, so by the time the asking host has read a reply, every other host
// holds its copy too and can drop it as stale before it sends a request of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "vhid/device_model.h"

namespace dravenholt::vhid {

class Hub {
public:
    // `host` numbers the connection, from 1 in the order hosts connected.
    using Handler = std::function<std::vector<Output>(uint32_t host, const Bytes& report)>;
    // Told when a host's connection ends, and for every host still connected when the hub goes.
    using Closed = std::function<void(uint32_t host)>;

    Hub(std::string socketName, Handler handler, Closed closed);
    ~Hub();
    Hub(const Hub&) = delete;
    Hub& operator=(const Hub&) = delete;

    // Queues an input report for every connected host, `delay` from now.
    void send(Bytes report, std::chrono::milliseconds delay);
    // Waits until every report queued by send() so far has been sent and every report hosts
    // wrote so far has been handled.
    void flush();

    // Connects a host end; -1 on failure. The caller owns the descriptor.
    static int connectTo(const std::string& socketName);

private:
    using Clock = std::chrono::steady_clock;

    void run();
    void acceptHost();
    bool serveHost(int fd, uint32_t host);
    void sendDue();
    int pollTimeout();
    void wake();

    std::string socketName_;
    Handler handler_;
    Closed closed_;
    pid_t owner_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::map<int, uint32_t> hosts_;  // descriptor -> host number; device thread only
    uint32_t nextHost_ = 1;          // device thread only
    Bytes receiving_;                // device thread only
    std::mutex mutex_;
    struct Pending {
        Bytes report;
        uint32_t lastTo = 0;  // the host that asked for it, served after the others; 0: none
        bool queuedBySend = false;
    };
    uint64_t queued_ = 0, sent_ = 0;  // reports of send(); under mutex_
    // flush() calls so far, and the last of them the device thread has answered with a pass
    // that found no host report left to handle; under mutex_
    uint64_t flushTicket_ = 0, idleTicket_ = 0;
    std::condition_variable sentChanged_;
    std::multimap<Clock::time_point, Pending> pending_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace dravenholt::vhid
