// A simulated Orvo device: one encoded FunctionRequest in, one encoded FunctionResponse out.
// Thread-safe; process() never throws and always returns a decodable response of at most
// 2048 bytes whose rv field holds the device's return code.
//
// Requests come from clients, as a networked device serves several programs: each client's
// sessions and login are its own, and end when the client disconnects. A front end connects a
// client per connection; a user with one client only takes the default client, which is always
// there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace dravenholt::sim {

struct Device;

struct EngineOptions {
    // Reported in the token information, blank-padded to 16 characters.
    std::string serialNumber = "000000000001";
    // Where token objects, PINs and counters persist. Empty: the token lives in memory only.
    // A missing file starts a fresh uninitialised token.
    std::filesystem::path stateFile;
    // Monotonic seconds for the session timeout. Empty: the steady clock.
    std::function<int64_t()> clock;
};

// The state file exists but cannot be read or is damaged; it has not been touched.
class EngineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Engine {
public:
    explicit Engine(EngineOptions options = {});  // throws EngineError
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    using ClientId = uint32_t;
    static constexpr ClientId kDefaultClient = 0;

    // A new client, numbered apart from every client still connected.
    ClientId connect();
    // Ends every session of the client, with its operations, its session objects and its login.
    // The client's later requests are answered CKR_DEVICE_REMOVED; the default client stays.
    void disconnect(ClientId client) noexcept;

    std::vector<uint8_t> process(ClientId client, const uint8_t* request, size_t length) noexcept;
    std::vector<uint8_t> process(ClientId client, const std::vector<uint8_t>& request) noexcept {
        return process(client, request.data(), request.size());
    }
    std::vector<uint8_t> process(const uint8_t* request, size_t length) noexcept {
        return process(kDefaultClient, request, length);
    }
    std::vector<uint8_t> process(const std::vector<uint8_t>& request) noexcept {
        return process(kDefaultClient, request.data(), request.size());
    }

private:
    std::mutex mutex_;
    std::unique_ptr<Device> device_;
    std::set<ClientId> clients_{kDefaultClient};
    ClientId nextClient_ = 1;
};

}  // namespace dravenholt::sim
