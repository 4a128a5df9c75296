// Forked children for the process and fork tests, and a flag shared with them.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <string>

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

}  // namespace conc
