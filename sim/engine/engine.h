// A simulated Orvo device: one encoded FunctionRequest in, one encoded FunctionResponse out.
// Thread-safe; process() never throws and always returns a decodable response of at most
// 2048 bytes whose rv field holds the device's return code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
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

    std::vector<uint8_t> process(const uint8_t* request, size_t length) noexcept;
    std::vector<uint8_t> process(const std::vector<uint8_t>& request) noexcept {
        return process(request.data(), request.size());
    }

private:
    std::mutex mutex_;
    std::unique_ptr<Device> device_;
};

}  // namespace dravenholt::sim
