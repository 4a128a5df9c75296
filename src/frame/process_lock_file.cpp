#include "frame/process_lock_file.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "base/errors.h"

namespace dravenholt {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;

// How long a process that wants the lock lets a waiting one go first.
constexpr microseconds kGiveWay{2000};
// The longest pause between two looks at the lock: shorter than kGiveWay, so that a waiter
// looks while the process that let go gives way.
constexpr microseconds kLongestPause{1000};

}  // namespace

// Anyone who can open the lock file can take its lock and keep it. The wait therefore ends at
// the deadline and the exchange fails, rather than this process waiting for ever with the
// library mutex held. There is no timed wait for the lock: it is tried again after pauses.
//
// A waiter marks the file. A process that comes for the lock while another one waits lets that
// one go first: otherwise the process that has just let go would take the lock again before
// the waiter looked, exchange after exchange, and the other process would wait for its turn.
void ProcessLockFile::lock(uint32_t timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const Clock::time_point givenWay = std::min(Clock::now() + kGiveWay, deadline);
    while (file_.othersWaiting() && Clock::now() < givenWay) std::this_thread::sleep_for(microseconds(100));
    if (file_.tryLock()) return;

    file_.markWaiting(true);
    struct Unmark {
        platform::OpenFile& file;
        ~Unmark() { file.markWaiting(false); }
    } unmark{file_};
    for (microseconds pause{50}; !file_.tryLock(); pause = std::min(pause * 2, kLongestPause)) {
        Clock::time_point now = Clock::now();
        if (now >= deadline)
            throw DeviceError("Timed out after " + std::to_string(timeoutMs) + " ms waiting for the lock file " +
                              path_ + ", which another process holds.");
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    }
}

}  // namespace dravenholt
