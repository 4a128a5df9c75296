// What the process and fork tests share: forked children, a flag shared with them, and a token
// behind a virtual HID device that the processes reach through handles of their own.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "engine/engine.h"
#include "vhid/vhid.h"
#include "workload.h"

namespace conc {

// A function run in a forked child process. The child sends its findings to the parent through
// a pipe. An alarm ends a child that hangs.
class Child {
public:
    enum class Leave {
        Immediately,  // _exit: what a child of a process with threads of its own must do
        ThroughExit,  // exit(): static destructors and exit handlers run, the library's among them
    };
    explicit Child(std::function<void(Findings&)> body, Leave leave = Leave::Immediately, unsigned timeoutSeconds = 30);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Waits for the child: its findings, "" when it found nothing, or how it ended otherwise.
    std::string wait();

private:
    pid_t pid_ = -1;
    int pipe_ = -1;
};

// A flag in memory shared with forked children: the parent raises it, children look.
class SharedFlag {
public:
    SharedFlag();
    ~SharedFlag();
    SharedFlag(const SharedFlag&) = delete;
    SharedFlag& operator=(const SharedFlag&) = delete;
    void raise() { flag_->store(true); }
    bool raised() const { return flag_->load(); }
    void waitRaised() const;

private:
    std::atomic<bool>* flag_;
};

// A simulated token behind a virtual USB HID device, its engine in this process, plugged in with
// the identifiers the library looks for by default.
struct HidToken {
    std::shared_ptr<dravenholt::sim::Engine> engine;
    std::shared_ptr<dravenholt::vhid::VirtualDevice> device;
};
HidToken plugInHidToken();

// Reports that reached the device from another host while an exchange was under way (between
// the first report of a request and the reply to it): 0 when no exchanges interleaved.
size_t intrusions(const std::vector<dravenholt::vhid::JournalEntry>& journal);

}  // namespace conc
