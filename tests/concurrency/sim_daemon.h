// orvo-sim in a process of its own, on a free loopback port, with its state in a fresh
// temporary directory; the library reaches it through the orvoconfig.json that orvo-sim writes
// there.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_env.h"

namespace conc {

class SimDaemon {
public:
    // `clientConfig`: a JSON object of further keys for the library's configuration (logging,
    // lock file, timeouts); orvo-sim adds the transport. `options`: more of orvo-sim's options
    // (a fault). Throws when orvo-sim does not start.
    explicit SimDaemon(const std::string& clientConfig = "{}", const std::vector<std::string>& options = {});
    ~SimDaemon();
    SimDaemon(const SimDaemon&) = delete;
    SimDaemon& operator=(const SimDaemon&) = delete;

    std::string configDir() const { return dir_.file("sim"); }  // for ORVO_CONFIG_PATH
    void useAsConfig() const;
    // Lines of orvo-sim's log that contain `text` ("opened", "closed" for connections).
    size_t logLines(const std::string& text) const;
    std::string log() const { return dir_.read("sim.log"); }

private:
    orvotest::TestDir dir_;
    pid_t pid_ = -1;
};

}  // namespace conc
