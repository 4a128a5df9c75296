#include "settings/settings.h"

#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <fstream>

#include <nlohmann/json.hpp>

#include "base/log_target.h"
#include "platform/platform.h"

namespace dravenholt {

const char* const kConfigFileName = "orvoconfig.json";

namespace {

using platform::kPathSeparator;

bool readable(const std::string& path) {
    std::ifstream in(path);
    return in.good();
}

std::string executableDirectory() {
    std::string exe = platform::executablePath();
    size_t separator = exe.rfind(kPathSeparator);
    return separator == std::string::npos ? "" : exe.substr(0, separator + 1);
}

// A JSON number as an integer, truncated toward zero and kept within int64 range.
int64_t integerOf(const nlohmann::json& value) {
    if (value.is_number_integer()) {
        if (value.is_number_unsigned()) {
            uint64_t u = value.get<uint64_t>();
            return u > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(u);
        }
        return value.get<int64_t>();
    }
    double d = std::trunc(value.get<double>());
    if (std::isnan(d)) return 0;
    if (d >= 9.2e18) return INT64_MAX;
    if (d <= -9.2e18) return INT64_MIN;
    return static_cast<int64_t>(d);
}

uint32_t u32Of(const nlohmann::json& value) { return static_cast<uint32_t>(integerOf(value)); }

int32_t i32Of(const nlohmann::json& value) {
    int64_t v = integerOf(value);
    return static_cast<int32_t>(v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v);
}

void applyLogging(Settings& c, const nlohmann::json& logging) {
    if (logging.contains("enabled") && logging["enabled"].is_boolean() && !logging["enabled"].get<bool>()) {
        c.logThreshold = 1050;
        return;
    }
    if (logging.contains("loglevel") && logging["loglevel"].is_number())
        c.logThreshold = i32Of(logging["loglevel"]);
    if (logging.contains("logfile") && logging["logfile"].is_string()) {
        c.logFile = logging["logfile"].get<std::string>();
    }
    c.logToConsole = logging.contains("logconsole") && logging["logconsole"].is_boolean() &&
                     logging["logconsole"].get<bool>();
}

void applyTransport(Settings& c, std::vector<SettingsNote>& notes, const nlohmann::json& transport) {
    if (transport.contains("vid") && transport["vid"].is_number()) c.vendorId = u32Of(transport["vid"]);
    if (transport.contains("pid") && transport["pid"].is_number()) c.productId = u32Of(transport["pid"]);
    if (transport.contains("usagePage") && transport["usagePage"].is_number())
        c.usagePage = u32Of(transport["usagePage"]);
    if (transport.contains("address") && transport["address"].is_string() && transport.contains("port") &&
        transport["port"].is_number()) {
        c.port = u32Of(transport["port"]);
        c.address = transport["address"].get<std::string>();
        // A missing or non-string bundle throws here and ends the reading.
        c.caBundle = transport.at("cacertbundle").get<std::string>();
        notes.push_back({kInfo, "Connecting to IP transport."});
        c.network = true;
    }
}

}  // namespace

std::string findConfigDirectory(const std::string& fileName) {
    if (const char* env = std::getenv("ORVO_CONFIG_PATH")) return std::string(env) + kPathSeparator;
    if (readable(fileName)) {
        std::string cwd = platform::currentDirectory();
        if (!cwd.empty()) return cwd + kPathSeparator;
    }
    const char* home = std::getenv("HOME");
    if (!home) home = std::getenv("USERPROFILE");
    std::string candidate = home ? std::string(home) + kPathSeparator : std::string();
    candidate += ".orvo";
    candidate += kPathSeparator;
    if (platform::isDirectory(candidate) && readable(candidate + fileName)) return candidate;
    return executableDirectory();
}

Settings readSettings(std::vector<SettingsNote>& notes, Settings c) {
    std::string path = findConfigDirectory(kConfigFileName) + kConfigFileName;
    std::ifstream in(path);
    if (!in.good()) {
        notes.push_back({kInfo, "Config file not found."});
        return c;
    }
    try {
        nlohmann::json root = nlohmann::json::parse(in);
        if (!root.is_object()) throw std::runtime_error("configuration root is not a JSON object");
        if (root.contains("logging") && root["logging"].is_object()) applyLogging(c, root["logging"]);
        if (root.contains("transport") && root["transport"].is_object()) applyTransport(c, notes, root["transport"]);
        if (root.contains("timeout") && root["timeout"].is_number()) c.timeoutMs = u32Of(root["timeout"]);
        if (root.contains("keytimeout") && root["keytimeout"].is_number())
            c.keyTimeoutMs = u32Of(root["keytimeout"]);
        if (root.contains("lockfile") && root["lockfile"].is_string())
            c.lockFile = root["lockfile"].get<std::string>();
    } catch (const std::exception& e) {
        notes.push_back({kWarn, "Failed to parse config"});
        notes.push_back({kDebug, e.what()});
    }
    return c;
}

}  // namespace dravenholt
