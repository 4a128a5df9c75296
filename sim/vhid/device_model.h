// The device side of a virtual HID device: reassembles requests from the reports hosts write,
// asks the responder, and frames the reply (or a misbehaving one) as input reports.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "vhid/vhid.h"

namespace dravenholt::vhid {

// An input report to send to every open handle, `delay` after the write that caused it.
struct Output {
    std::chrono::milliseconds delay;
    Bytes report;
};

class DeviceModel {
public:
    DeviceModel(const DeviceProfile& profile, HostResponder responder);

    // One report written by host number `host`; called on the device thread only.
    std::vector<Output> onReport(uint32_t host, const Bytes& report);
    // Host number `host` has closed its handle or lost it.
    void onHostClosed(uint32_t host);
    // Whether a host's write of a report with this ID succeeds; any thread.
    bool acceptsReportId(uint8_t reportId) const;

    // Settings and records; any thread.
    void setResponder(HostResponder responder);
    void setFaults(const Faults& faults);
    Faults faults() const;
    std::vector<Bytes> requests() const;
    std::vector<Bytes> writtenReports() const;
    bool waitForRequests(size_t count, std::chrono::milliseconds timeout) const;
    std::vector<uint32_t> allocatedChannels() const;
    std::vector<JournalEntry> journal() const;
    void clearRecords();

private:
    struct Assembly {
        uint32_t channel = 0;
        size_t expected = 0;
        uint8_t nextSequence = 0;
        Bytes bytes;
    };

    std::vector<Output> onNumberedReport(uint32_t host, const Bytes& report);
    std::vector<Output> onU2fFrame(uint32_t host, const Bytes& frame);
    std::vector<Output> answerInit(const Bytes& frame, const Faults& faults);
    std::vector<Output> complete(uint32_t host, Bytes request, uint32_t channel);
    void note(JournalEntry::Kind kind, uint32_t host);
    std::vector<Output> frameReports(const Bytes& reply, const Faults& faults) const;
    std::vector<Output> frameU2f(uint32_t channel, const Bytes& reply, const Faults& faults) const;

    const DeviceProfile profile_;
    std::optional<Assembly> assembly_;  // device thread only
    uint32_t nextChannel_ = 0x00000101;  // device thread only

    mutable std::mutex mutex_;
    mutable std::condition_variable requestArrived_;
    std::shared_ptr<HostResponder> responder_;  // shared, so a stateful responder keeps its state
    Faults faults_;
    std::vector<Bytes> requests_;
    std::vector<Bytes> written_;
    std::vector<uint32_t> channels_;
    std::vector<JournalEntry> journal_;
};

}  // namespace dravenholt::vhid
