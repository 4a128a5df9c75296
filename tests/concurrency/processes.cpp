#include "processes.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "vhid/engine_device.h"

extern char** environ;

namespace conc {

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

Child::Child(std::function<void(Findings&)> body, Leave leave) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::close(ends[0]);
        alarm(20);
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
        if (leave == Leave::ThroughExit) std::exit(text.empty() ? 0 : 1);
        _exit(text.empty() ? 0 : 1);
    }
    ::close(ends[1]);
    pipe_ = ends[0];
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

SimDaemon::SimDaemon(const std::string& clientConfig, const std::vector<std::string>& options) {
    const std::string state = dir_.file("sim"), log = dir_.file("sim.log");
    std::filesystem::create_directory(state);
    std::filesystem::permissions(state, std::filesystem::perms::owner_all);  // whatever the umask
    dir_.write("sim/orvoconfig.json", clientConfig);
    setenv("ORVO_CONFIG_PATH", state.c_str(), 1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<const char*> argv = {ORVO_SIM_PATH, "--state-dir", state.c_str(), "--port", "0"};
    for (const std::string& option : options) argv.push_back(option.c_str());
    argv.push_back(nullptr);
    int error = posix_spawn(&pid_, ORVO_SIM_PATH, &actions, nullptr, const_cast<char**>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start orvo-sim");
    // The first start makes a CA and a server certificate; sanitizer builds are slow at it.
    bool ended = false;
    waitUntil([&] { return (ended = waitpid(pid_, nullptr, WNOHANG) == pid_) || logLines("listening on") > 0; },
              std::chrono::minutes(1));
    if (ended) pid_ = -1;
    if (ended || logLines("listening on") == 0) throw std::runtime_error("orvo-sim did not start:\n" + this->log());
}

SimDaemon::~SimDaemon() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
}

size_t SimDaemon::logLines(const std::string& text) const {
    std::istringstream lines(log());
    size_t count = 0;
    for (std::string line; std::getline(lines, line);) count += line.find(text) != std::string::npos;
    return count;
}

HidToken::HidToken() {
    dravenholt::sim::EngineOptions options;
    options.serialNumber = "0A0B0C0D0E0F";
    engine = std::make_shared<dravenholt::sim::Engine>(options);
    device = dravenholt::vhid::plugIn({.serial = L"0A0B0C0D0E0F"}, dravenholt::vhid::engineResponder(engine));
}

Exchanges exchanges(const std::vector<dravenholt::vhid::JournalEntry>& journal) {
    Exchanges seen;
    uint32_t owner = 0, answered = 0;  // host whose exchange is under way (0: none), host answered last
    for (const dravenholt::vhid::JournalEntry& entry : journal) {
        if (entry.kind == dravenholt::vhid::JournalEntry::Kind::Reply) {
            ++seen.replies[entry.host];
            seen.turns += answered != 0 && entry.host != answered;
            answered = entry.host;
            owner = 0;
        } else if (owner == 0) {
            owner = entry.host;
        } else {
            seen.intrusions += entry.host != owner;
        }
    }
    return seen;
}

}  // namespace conc
