#include "child.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "vhid/engine_device.h"

namespace conc {

Child::Child(std::function<void(Findings&)> body, Leave leave, unsigned timeoutSeconds) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::close(ends[0]);
        alarm(timeoutSeconds);
        Findings findings;
        try {
            body(findings);
        } catch (const std::exception& e) {
            findings.add(std::string("exception: ") + e.what());
        }
        std::string text = findings.text();
        for (size_t sent = 0; sent < text.size();) {
            ssize_t n = ::write(ends[1], text.data() + sent, text.size() - sent);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        ::close(ends[1]);
        int status = findings.count() ? 1 : 0;
        if (leave == Leave::ThroughExit) std::exit(status);
        _exit(status);
    }
    ::close(ends[1]);
    pipe_ = ends[0];
}

Child::~Child() {
    if (pid_ > 0) wait();
}

std::string Child::wait() {
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipe_, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    ::close(pipe_);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (WIFSIGNALED(status)) return text + "\nchild ended by signal " + std::to_string(WTERMSIG(status));
    if (WEXITSTATUS(status) != 0 && text.empty()) return "child exited with " + std::to_string(WEXITSTATUS(status));
    return text;
}

SharedFlag::SharedFlag() {
    void* memory = mmap(nullptr, sizeof(std::atomic<bool>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::runtime_error("mmap failed");
    flag_ = new (memory) std::atomic<bool>(false);
}

SharedFlag::~SharedFlag() { munmap(flag_, sizeof(std::atomic<bool>)); }

void SharedFlag::waitRaised() const {
    while (!raised()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

HidToken plugInHidToken() {
    HidToken token;
    dravenholt::sim::EngineOptions options;
    options.serialNumber = "0A0B0C0D0E0F";
    token.engine = std::make_shared<dravenholt::sim::Engine>(options);
    token.device = dravenholt::vhid::plugIn({.serial = L"0A0B0C0D0E0F"}, dravenholt::vhid::engineResponder(token.engine));
    return token;
}

size_t intrusions(const std::vector<dravenholt::vhid::JournalEntry>& journal) {
    uint32_t owner = 0;  // host whose exchange is under way, 0 for none
    size_t count = 0;
    for (const dravenholt::vhid::JournalEntry& entry : journal) {
        if (entry.kind == dravenholt::vhid::JournalEntry::Kind::Reply) {
            owner = 0;
        } else if (owner == 0) {
            owner = entry.host;
        } else if (entry.host != owner) {
            ++count;
        }
    }
    return count;
}

}  // namespace conc
