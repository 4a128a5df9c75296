#include "sim_daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace conc {

SimDaemon::SimDaemon(const std::string& clientConfig, const std::vector<std::string>& options) {
    std::filesystem::create_directory(configDir());
    std::filesystem::permissions(configDir(), std::filesystem::perms::owner_all);  // whatever the umask
    dir_.write("sim/orvoconfig.json", clientConfig);
    std::string log = dir_.file("sim.log"), state = configDir();
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
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (logLines("listening on") == 0) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("orvo-sim ended at start:\n" + this->log());
        }
        if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("orvo-sim did not start");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

SimDaemon::~SimDaemon() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
}

void SimDaemon::useAsConfig() const { setenv("ORVO_CONFIG_PATH", configDir().c_str(), 1); }

size_t SimDaemon::logLines(const std::string& text) const {
    std::istringstream lines(log());
    size_t count = 0;
    for (std::string line; std::getline(lines, line);) count += line.find(text) != std::string::npos;
    return count;
}

}  // namespace conc
