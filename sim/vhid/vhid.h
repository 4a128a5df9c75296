// Virtual hidapi backend: the hidapi C functions over virtual USB HID devices, for test programs
// that link it in place of the real hidapi.
//
// A virtual device behaves like a hidraw node: every process and every handle that has it open
// receives every input report it sends, reports queue per handle until read, and a handle that
// does not read loses the newest reports once its queue is full. The device side runs on a
// thread of the process that plugged the device in; processes forked afterwards reach it too
// (they must leave with _exit, never through static destructors).
//
//   auto orvo = dravenholt::vhid::plugIn({.serial = L"0123456789AB"}, myResponder);
//   ... C_Initialize / pOpenPort / HidTransport find it through hid_enumerate ...
//   dravenholt::vhid::unplugAll();
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dravenholt::vhid {

using Bytes = std::vector<uint8_t>;

// Answers one complete request (the bytes the host wrote, framing removed) with one reply.
// Runs on the device's thread. An empty reply is sent as a reply of length 0.
using Responder = std::function<Bytes(const Bytes& request)>;

// A responder that tells the hosts apart, numbered as in the journal (every handle a host opens
// is a host of its own): `answer` gets the host whose request it answers, and `closed`, when
// given, hears that a host's handle is gone: hid_close, its process ended or was killed, or the
// device was unplugged. Both run on the device's thread, `closed` also on the thread unplugging.
struct HostResponder {
    std::function<Bytes(uint32_t host, const Bytes& request)> answer;
    std::function<void(uint32_t host)> closed;
};

enum class Framing { Reports, U2f };

struct DeviceProfile {
    uint16_t vendorId = 0x0483;
    uint16_t productId = 0xA2AC;
    std::optional<std::wstring> manufacturer = L"Dravenholtique";
    std::optional<std::wstring> product = L"Orvo";
    std::optional<std::wstring> serial = L"0123456789AB";
    uint16_t releaseNumber = 0x0100;
    uint16_t usagePage = 0xFF00;
    uint16_t usage = 0x0001;
    int interfaceNumber = 0;
    // Bytes of one report including the report ID byte (report framing); U2F devices always use
    // 64-byte frames.
    size_t reportSize = 65;
    Framing framing = Framing::Reports;
    // False: the device gives no report descriptor, so the host must guess its report size.
    bool describesReports = true;
    // Report framing: writing a report with another ID than the request report's (such as the
    // U2F handshake's frame) fails at once, as on a device that stalls it, and the report is not
    // among the written ones. False: the write succeeds and the device ignores the report.
    bool refusesForeignReports = true;
};

// Misbehaviour on demand. Host-side faults take effect in the process that sets them (and in
// processes forked afterwards); device-side faults take effect where the device was plugged in.
struct Faults {
    // Host side.
    bool refuseOpen = false;  // hid_open_path fails (device busy, no access)
    bool failWrites = false;  // hid_write returns -1 with writeError (none: no error text)
    bool failReads = false;   // hid_read_timeout returns -1, as on a read error
    std::optional<std::wstring> writeError = L"virtual device: write failed";
    // hid_read_timeout waits at most this long, whatever it is asked (for ever included): stands
    // in for a wait too long to sit out. lastReadWait() still tells what was asked.
    std::optional<std::chrono::milliseconds> waitCap{};

    // Device side, every reply to a request.
    bool silent = false;                     // never answer
    std::chrono::milliseconds replyDelay{0};  // answer this late
    std::optional<size_t> replyPieces{};       // send only the first n reports or frames
    std::optional<size_t> restartAfter{};      // send the first n, then the whole reply from its start

    // Report framing.
    uint8_t replyReportId = 0x02;
    std::optional<uint8_t> firstPacketType{};  // packet type of a reply's first report

    // U2F framing.
    bool ignoreInit = false;           // never answer the channel allocation
    unsigned wrongNonceAnswers = 0;    // allocation answers with a wrong nonce, sent first
    bool otherChannelFrames = false;   // frames of another channel before and between frames
    std::optional<uint8_t> errorReply{};  // answer every request with an error frame and this code
    bool skipSequence = false;         // continuation frames numbered 0, 2, 3, ...
};

// One step in the device's journal of exchanges, in the order the device saw them.
struct JournalEntry {
    enum class Kind {
        RequestReport,  // a report a host wrote, taken into a request
        Reply,          // a reply was sent (reports that fall due at once leave together)
    };
    Kind kind;
    // The host connection, numbered from 1 in the order hosts opened the device: every handle
    // (so every process) has a number of its own. A reply names the host whose request
    // completed it.
    uint32_t host;
};

class VirtualDevice {
public:
    ~VirtualDevice();
    VirtualDevice(const VirtualDevice&) = delete;
    VirtualDevice& operator=(const VirtualDevice&) = delete;

    const DeviceProfile& profile() const;
    // The hidapi path under which hid_enumerate lists the device.
    const std::string& path() const;

    void setResponder(Responder responder);
    void setFaults(const Faults& faults);
    Faults faults() const;

    // Sends a raw input report to every open handle after `delay`.
    void inject(Bytes report, std::chrono::milliseconds delay = {});
    // Waits until every report injected so far has reached the open handles, so that a read
    // with no wait finds it, and every report written so far has been taken in (for harnesses
    // that must run the same way every time).
    void flush();

    // Complete requests received so far, framing removed.
    std::vector<Bytes> requests() const;
    // Every report hosts wrote, as written (report ID first; for U2F the leading 0x00).
    std::vector<Bytes> writtenReports() const;
    // Waits until `count` requests have arrived; false when `timeout` passed first.
    bool waitForRequests(size_t count, std::chrono::milliseconds timeout) const;
    // U2F channels allocated so far.
    std::vector<uint32_t> allocatedChannels() const;
    // Every report taken into a request and every reply, in order.
    std::vector<JournalEntry> journal() const;
    // Handles this process opened on the device so far (hid_open_path).
    size_t timesOpened() const;
    // Forgets the requests, written reports, channels and journal recorded so far (a harness
    // that runs for ever keeps its memory flat).
    void clearRecords();

    struct State;
    explicit VirtualDevice(std::unique_ptr<State> state);
    State& state() { return *state_; }

private:
    std::unique_ptr<State> state_;
};

// Attaches a device; hid_enumerate lists devices in the order they were plugged in.
std::shared_ptr<VirtualDevice> plugIn(const DeviceProfile& profile, Responder responder = {});
std::shared_ptr<VirtualDevice> plugIn(const DeviceProfile& profile, HostResponder responder);
// Detaches a device: it leaves the enumeration and open handles read an error.
void unplug(const std::shared_ptr<VirtualDevice>& device);
void unplugAll();

// hidapi's initialisation, enumeration and open are not thread-safe. The backend counts the
// calls of hid_init, hid_enumerate, hid_free_enumeration, hid_open and hid_open_path that
// overlapped another such call (each lingers a moment to make overlaps likely).
size_t overlappingEnumerations();

// The pause the host last asked for after opening a device. Virtual devices are ready at once,
// so the backend records the request instead of waiting.
std::chrono::milliseconds lastSettleRequest();

// The wait in milliseconds the host last passed to hid_read_timeout, as passed (-1: for ever).
int lastReadWait();

}  // namespace dravenholt::vhid
