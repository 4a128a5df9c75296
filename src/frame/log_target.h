#pragma once

#include <string>

namespace dravenholt {

enum LogLevel : int { kTrace = 10, kDebug = 20, kInfo = 30, kWarn = 40, kError = 50 };

// Where every part of the library writes its log lines.
class ILogTarget {
public:
    virtual void log(int level, const char* format, ...) __attribute__((format(printf, 3, 4))) = 0;
    virtual void logMessage(int level, const std::string& message) = 0;

protected:
    ~ILogTarget() = default;
};

}  // namespace dravenholt
