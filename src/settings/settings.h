// What the optional configuration file (orvoconfig.json) and the environment say: the device
// addresses, the timeouts, the lock file and the logging. Read once while the library context is
// made, and by orvo-admin on its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dravenholt {

struct Settings {
    // USB HID devices: the identifiers looked for (vendor 0: by the maker's manufacturer string).
    uint32_t vendorId = 0x0483;
    uint32_t productId = 0xA2AC;
    uint32_t usagePage = 0;
    // The network device, used in place of USB devices when `network` is set.
    std::string address;
    uint32_t port = 0;
    std::string caBundle;
    bool network = false;
    // Exchange timeouts: every exchange, and the key generation calls.
    uint32_t timeoutMs = 12000;
    uint32_t keyTimeoutMs = 65000;
    // The process lock file, when one is named.
    std::optional<std::string> lockFile;
    // Logging: lines at or above the threshold go to the console and/or the file.
    int32_t logThreshold = 50;
    std::string logFile;
    bool logToConsole = false;
};

// A line for the log that reading the settings produced; logged once logging is set up.
struct SettingsNote {
    int level;
    std::string text;
};

extern const char* const kConfigFileName;  // "orvoconfig.json"

// The directory (ending in a separator, or empty) in which the file is looked for.
std::string findConfigDirectory(const std::string& fileName);

// `base` with the file's settings applied over it; raises nothing. A file that fails to parse
// leaves what was read before the failure.
Settings readSettings(std::vector<SettingsNote>& notes, Settings base = {});

}  // namespace dravenholt
