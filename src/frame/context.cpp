#include "frame/context.h"

#include <cstdarg>

#include "base/call_hold.h"
#include "frame/fork_guard.h"
#include "transport/hid_access.h"
#include "transport/hid_pair.h"
#include "transport/network_pair.h"

namespace dravenholt {
namespace {
Context* theContext = nullptr;
}

Context& getContext() {
    installForkHandlers();  // before the lock: fork() takes it through the handlers
    std::lock_guard<std::mutex> guard(libraryMutex());
    if (!theContext) theContext = new Context();
    return *theContext;
}

Context* contextIfMade() { return theContext; }

// Unloading the library (dlclose) or the end of the process: the context and the process-wide
// state of the lock file and of hidapi go, so that loading and unloading leaks nothing, but only
// when no call is inside. A process that ends while its threads are in calls keeps them to its
// end: the C library runs this while those threads go on.
__attribute__((destructor)) static void releaseOnUnload() {
    if (!closeToCalls()) return;
    delete theContext;
    theContext = nullptr;
    releaseLockFile();
    releaseHidApi();
}

Context::Context() : deviceLister_(listHidDevices), transportFactory_(makeHidTransport) {
    loadConfiguration();
    log(kDebug, "New Instance");
}

void Context::loadConfiguration() {
    // The files are opened again only when the configuration names them.
    Settings base = settings_;
    base.logFile.clear();
    base.lockFile.reset();
    std::vector<SettingsNote> notes;
    settings_ = readSettings(notes, base);
    log_.configure(settings_);
    for (const SettingsNote& note : notes) log_.logMessage(note.level, note.text);
    if (settings_.network) setDevicePair(listNetworkDevices, makeNetworkTransport);
    if (!settings_.lockFile) return;
    try {
        deviceLock_.useLockFile(*settings_.lockFile, log_);
    } catch (const std::exception& e) {
        log_.logMessage(kWarn, "Failed to parse config");
        log_.logMessage(kDebug, e.what());
    }
}

void Context::log(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_.logv(level, format, args);
    va_end(args);
}

void Context::setDevicePair(DeviceLister lister, TransportFactory factory) {
    deviceLister_ = std::move(lister);
    transportFactory_ = std::move(factory);
}

void Context::forgetInherited() noexcept {
    initialized_ = false;
    ports_.abandonAll();
    sessions_.clear();
    // The application's mutex is the parent's object; the child chooses its own locking anew.
    deviceLock_.forget();
}

}  // namespace dravenholt
