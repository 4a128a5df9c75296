// The simulator's state directory: its certificate authority, the server certificate, the
// token state file, and the orvoconfig.json that points the library at the server, so that
// ORVO_CONFIG_PATH=<directory> is all a client needs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "server_connection.h"

namespace dravenholt::sim {

class StateDirectory {
public:
    // Creates the directory (owner only) when missing and takes its lock: one simulator per
    // directory. Throws std::runtime_error when the directory cannot be used, is in use, or is
    // an existing one that another user owns or that group or world may write to.
    explicit StateDirectory(std::filesystem::path directory);
    ~StateDirectory();
    StateDirectory(const StateDirectory&) = delete;
    StateDirectory& operator=(const StateDirectory&) = delete;

    // The server identity for `address`: creates the authority on first use and issues a new
    // server certificate whenever the present one would not pass a client's check of `address`.
    ServerIdentity prepare(const std::string& address);

    // Points the library at address:port with this directory's authority. Other settings in an
    // existing orvoconfig.json (logging, timeouts) are kept.
    void writeClientConfig(const std::string& address, uint16_t port) const;

    const std::filesystem::path& path() const { return directory_; }
    std::filesystem::path authorityFile() const { return directory_ / "ca.crt"; }
    std::filesystem::path stateFile() const { return directory_ / "token.state"; }
    std::filesystem::path configFile() const { return directory_ / "orvoconfig.json"; }

private:
    std::filesystem::path directory_;
    int lock_ = -1;
};

}  // namespace dravenholt::sim
