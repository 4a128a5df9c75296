// The one error of the library's device side: a transport, the device lock or the device call
// failed. It carries a message only; whoever catches it turns it into a return code.
#pragma once

#include <stdexcept>
#include <string>

namespace dravenholt {

class DeviceError : public std::runtime_error {
public:
    explicit DeviceError(const std::string& message) : std::runtime_error(message) {}
    explicit DeviceError(const char* message) : std::runtime_error(message ? message : "null") {}
    // Wide messages (hidapi's error texts) keep the low byte of each unit.
    explicit DeviceError(const wchar_t* message) : std::runtime_error(narrow(message)) {}

private:
    static std::string narrow(const wchar_t* message) {
        if (!message) return "null";
        std::string out;
        for (; *message; ++message) out.push_back(static_cast<char>(*message & 0xFF));
        return out;
    }
};

}  // namespace dravenholt
