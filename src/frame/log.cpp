#include "frame/log.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace dravenholt {
namespace {

int64_t steadyNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const char* levelName(int level) {
    switch (level) {
        case kTrace: return "TRACE";
        case kDebug: return "DEBUG";
        case kInfo: return "INFO";
        case kWarn: return "WARN";
        case kError: return "ERROR";
        default: return "";
    }
}

}  // namespace

std::mutex& logMutex() {
    static std::mutex mutex;
    return mutex;
}

Log::Log() : start_(steadyNanos()) {}

void Log::configure(const Settings& settings) {
    threshold_ = settings.logThreshold;
    console_ = settings.logToConsole;
    if (settings.logFile.empty()) return;
    file_.close();
    file_ = platform::OpenFile::forAppending(settings.logFile);
}

void Log::log(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    logv(level, format, args);
    va_end(args);
}

void Log::logv(int level, const char* format, va_list args) {
    if (!logs(level)) return;  // below the threshold or no target: nothing is formatted
    char buffer[2048];
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    if (n <= 0 || n >= static_cast<int>(sizeof buffer)) {
        logMessage(kError, "log printbuf too small.");
        return;
    }
    logMessage(level, std::string(buffer, static_cast<size_t>(n)));
}

void Log::logMessage(int level, const std::string& message) {
    if (!logs(level)) return;
    double seconds = static_cast<double>(steadyNanos() - start_) / 1e9;
    char prefix[96];
    std::snprintf(prefix, sizeof prefix, "%.2f t:%llu %s : ", seconds, platform::threadId(), levelName(level));
    std::string line = prefix + message + "\n";
    std::lock_guard<std::mutex> guard(logMutex());
    if (console_) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
    // One write per line at the file's end: lines of other processes appending to the same
    // file stay whole. A line that cannot be written is lost, as the console's would be.
    if (file_.isOpen()) (void)file_.append(line);
}

}  // namespace dravenholt
