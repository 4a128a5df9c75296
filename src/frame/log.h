// The library's log: lines at or above the threshold, with the seconds since the log was made,
// the thread and the level, written to the console and/or the log file as the settings say.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>

#include "base/log_target.h"
#include "platform/files.h"
#include "settings/settings.h"

namespace dravenholt {

class Log final : public LogTarget {
public:
    Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // Takes the threshold and the console choice, and opens the file when the settings name one.
    void configure(const Settings& settings);

    void log(int level, const char* format, ...) override ORVO_PRINTF_FORMAT(3, 4);
    void logv(int level, const char* format, va_list args);
    void logMessage(int level, const std::string& message) override;
    bool logs(int level) const { return level >= threshold_ && (console_ || file_.isOpen()); }
    bool writesFile() const { return file_.isOpen(); }

private:
    int32_t threshold_ = 50;
    bool console_ = false;
    platform::OpenFile file_;
    int64_t start_;
};

// Held while a log line is written, so that lines from concurrent threads stay whole and the
// log file's stream is used by one thread at a time. Nothing is locked while it is held.
std::mutex& logMutex();

}  // namespace dravenholt
