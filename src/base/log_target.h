#pragma once

#include <cstdio>
#include <string>

// Formats are checked against the printf family that the library calls: on mingw-w64 its own
// C99 one (__USE_MINGW_ANSI_STDIO, which libstdc++ turns on), elsewhere the C library's.
#ifdef __MINGW_PRINTF_FORMAT
#define ORVO_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(__MINGW_PRINTF_FORMAT, formatIndex, firstArgument)))
#else
#define ORVO_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#endif

namespace dravenholt {

enum LogLevel : int { kTrace = 10, kDebug = 20, kInfo = 30, kWarn = 40, kError = 50 };

// Where every part of the library writes its log lines.
class LogTarget {
public:
    virtual void log(int level, const char* format, ...) ORVO_PRINTF_FORMAT(3, 4) = 0;
    virtual void logMessage(int level, const std::string& message) = 0;

protected:
    ~LogTarget() = default;
};

}  // namespace dravenholt
