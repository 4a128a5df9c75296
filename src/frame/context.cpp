#include "frame/context.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <iostream>

#include "frame/call_hold.h"
#include "frame/config.h"
#include "frame/fork_guard.h"
#include "platform/platform.h"
#include "transport/hid_access.h"
#include "transport/hid_pair.h"

namespace {

int64_t steadyNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const char* levelName(int level) {
    switch (level) {
        case dravenholt::kTrace: return "TRACE";
        case dravenholt::kDebug: return "DEBUG";
        case dravenholt::kInfo: return "INFO";
        case dravenholt::kWarn: return "WARN";
        case dravenholt::kError: return "ERROR";
        default: return "";
    }
}

CContext* theContext = nullptr;

}  // namespace

std::mutex& libraryMutex() {
    static std::mutex mutex;
    return mutex;
}

namespace {
thread_local bool holdsLibraryMutex = false;
}

LibraryLock::LibraryLock() : guard_(libraryMutex()) { holdsLibraryMutex = true; }

LibraryLock::~LibraryLock() { holdsLibraryMutex = false; }

bool LibraryLock::heldHere() { return holdsLibraryMutex; }

std::mutex& logMutex() {
    static std::mutex mutex;
    return mutex;
}

CContext& getContext() {
    dravenholt::installForkHandlers();  // before the lock: fork() takes it through the handlers
    std::lock_guard<std::mutex> guard(libraryMutex());
    if (!theContext) theContext = new CContext();
    return *theContext;
}

CContext* contextIfMade() { return theContext; }

// Unloading the library (dlclose) or the end of the process: the context and the process-wide
// state of the lock file and of hidapi go, so that loading and unloading leaks nothing, but only
// when no call is inside. A process that ends while its threads are in calls keeps them to its
// end: the C library runs this while those threads go on.
__attribute__((destructor)) static void releaseOnUnload() {
    if (!dravenholt::closeToCalls()) return;
    delete theContext;
    theContext = nullptr;
    dravenholt::releaseLockFile();
    dravenholt::releaseHidApi();
}

CContext::CContext()
    : transportFactory(dravenholt::makeHidTransport),
      deviceLister(dravenholt::listHidDevices),
      startTime(steadyNanos()) {
    dravenholt::loadConfiguration(*this);
    log(dravenholt::kDebug, "New Instance");
}

void CContext::log(int level, const char* format, ...) {
    if (!logs(level)) return;  // below the threshold or no target: nothing is formatted
    char buffer[2048];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n <= 0 || n >= static_cast<int>(sizeof buffer)) {
        logMessage(dravenholt::kError, "log printbuf too small.");
        return;
    }
    logMessage(level, std::string(buffer, static_cast<size_t>(n)));
}

void CContext::logMessage(int level, const std::string& message) {
    if (level < logThreshold) return;
    if (!logToConsole && !logFile.isOpen()) return;
    double seconds = static_cast<double>(steadyNanos() - startTime) / 1e9;
    char prefix[96];
    std::snprintf(prefix, sizeof prefix, "%.2f t:%llu %s : ", seconds, dravenholt::platform::threadId(),
                  levelName(level));
    std::string line = prefix + message + "\n";
    std::lock_guard<std::mutex> guard(logMutex());
    if (logToConsole) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
    // One write per line at the file's end: lines of other processes appending to the same
    // file stay whole. A line that cannot be written is lost, as the console's would be.
    if (logFile.isOpen()) (void)logFile.append(line);
}

void CContext::setDevicePair(dravenholt::DeviceLister lister, dravenholt::TransportFactory factory) {
    deviceLister = std::move(lister);
    transportFactory = std::move(factory);
}

bool CContext::hasPort(CK_SLOT_ID slot) const {
    if (slot > 0x7FFFFFFF) return false;  // a slot identifier is a non-negative 32-bit index
    return ports.count(static_cast<int32_t>(slot)) != 0;
}

dravenholt::CTransport* CContext::port(int32_t index) const {
    auto it = ports.find(index);
    return it == ports.end() ? nullptr : it->second.get();
}

CK_RV CContext::lookupSession(CK_SESSION_HANDLE handle, SessionEntry& entry) const {
    auto it = sessions.find(handle);
    if (it == sessions.end() || it->second.port < 0) return CKR_SESSION_HANDLE_INVALID;
    entry = it->second;
    return CKR_OK;
}

CK_SESSION_HANDLE CContext::addSession(int32_t port, uint32_t deviceHandle) {
    CK_SESSION_HANDLE handle = nextSessionHandle++;
    sessions[handle] = SessionEntry{port, deviceHandle};
    return handle;
}
