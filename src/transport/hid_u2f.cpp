#include "transport/hid_u2f.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <vector>

#include "base/errors.h"
#include "transport/hid_text.h"
#include "transport/hid_wait.h"

namespace dravenholt::u2f {
namespace {

constexpr uint8_t kFiller = 0xEE;
// A device that keeps sending frames nobody waits for must not hold a read forever.
constexpr size_t kMaxSkippedFrames = 1024;

uint32_t bigEndian32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

class Frame {
public:
    Frame() { bytes_.fill(kFiller); }
    static Frame initiation(uint32_t channel, uint8_t command, size_t payloadLength) {
        Frame frame(channel);
        frame.bytes_[kCommandAt] = command;
        frame.bytes_[kLengthAt] = (payloadLength >> 8) & 0xFF;
        frame.bytes_[kLengthAt + 1] = payloadLength & 0xFF;
        return frame;
    }
    static Frame continuation(uint32_t channel, uint8_t sequence) {
        Frame frame(channel);
        frame.bytes_[kCommandAt] = sequence;
        return frame;
    }

    uint8_t* data() { return bytes_.data(); }
    const uint8_t* data() const { return bytes_.data(); }
    uint32_t channel() const { return bigEndian32(bytes_.data()); }
    bool isInitiation() const { return bytes_[kCommandAt] & kInitiationBit; }
    uint8_t command() const { return bytes_[kCommandAt]; }
    uint8_t sequence() const { return bytes_[kCommandAt]; }
    size_t payloadLength() const { return size_t{bytes_[kLengthAt]} << 8 | bytes_[kLengthAt + 1]; }
    uint8_t* initPayload() { return bytes_.data() + kInitPayloadAt; }
    const uint8_t* initPayload() const { return bytes_.data() + kInitPayloadAt; }
    uint8_t* continuationPayload() { return bytes_.data() + kContinuationPayloadAt; }
    const uint8_t* continuationPayload() const { return bytes_.data() + kContinuationPayloadAt; }

private:
    explicit Frame(uint32_t channel) : Frame() {
        for (int i = 0; i < 4; ++i) bytes_[i] = (channel >> (24 - 8 * i)) & 0xFF;
    }
    std::array<uint8_t, kFrameLength> bytes_;
};

// One frame as one 65-byte report: report ID 0 and the frame.
void sendFrame(hid_device* handle, const Frame& frame) {
    std::array<uint8_t, kFrameLength + 1> report{};
    std::copy_n(frame.data(), kFrameLength, report.begin() + 1);
    if (hid_write(handle, report.data(), report.size()) != static_cast<int>(report.size()))
        throwHidError(handle, nullptr);
}

int receiveFrame(hid_device* handle, Frame& frame, uint32_t timeoutMs, LogTarget* log) {
    if (!handle) return kReadFailed;
    frame = Frame();
    int got = hid_read_timeout(handle, frame.data(), kFrameLength, hidWaitMs(timeoutMs));
    if (got == static_cast<int>(kFrameLength)) return 0;
    if (log) log->log(kInfo, "hid transport received timeout");
    return got < 0 ? kReadFailed : kTimedOut;
}

// Receives frames until the initiation frame of a reply on `channel`; returns the receive code.
int receiveInitiation(hid_device* handle, uint32_t channel, uint32_t timeoutMs, Frame& frame, LogTarget* log) {
    for (size_t skipped = 0; skipped < kMaxSkippedFrames; ++skipped) {
        int code = receiveFrame(handle, frame, timeoutMs, log);
        if (code != 0) return code;
        if (frame.channel() == channel && frame.isInitiation()) return 0;
    }
    return kTimedOut;
}

// Collects the payload of one reply; returns its length or a negative code.
int collectReply(hid_device* handle, uint32_t channel, size_t capacity, uint32_t timeoutMs,
                 std::vector<uint8_t>& collected, LogTarget* log) {
    Frame frame;
    int code = receiveInitiation(handle, channel, timeoutMs, frame, log);
    if (code != 0) return code;
    if (frame.command() == kCommandError) return -static_cast<int>(frame.initPayload()[0]);
    size_t count = std::min(capacity, frame.payloadLength());
    collected.assign(frame.initPayload(), frame.initPayload() + std::min(count, kInitPayload));
    uint8_t expectedSequence = 0;
    size_t skipped = 0;
    while (collected.size() < count) {
        code = receiveFrame(handle, frame, timeoutMs, log);
        if (code != 0) return code;
        if (frame.channel() != channel) {
            if (++skipped == kMaxSkippedFrames) return kTimedOut;
            continue;
        }
        if (frame.isInitiation() || frame.sequence() != expectedSequence) return kBrokenSequence;
        ++expectedSequence;
        size_t take = std::min(count - collected.size(), kContinuationPayload);
        collected.insert(collected.end(), frame.continuationPayload(), frame.continuationPayload() + take);
    }
    return static_cast<int>(count);
}

}  // namespace

std::optional<uint32_t> handshake(hid_device* handle, LogTarget* log) {
    std::array<uint8_t, kNonceLength> nonce;
    for (auto& byte : nonce) byte = static_cast<uint8_t>(std::rand() >> 3);
    Frame request = Frame::initiation(kBroadcastChannel, kCommandInit, nonce.size());
    std::copy(nonce.begin(), nonce.end(), request.initPayload());
    try {
        sendFrame(handle, request);
    } catch (const DeviceError&) {
        return std::nullopt;
    }
    for (size_t skipped = 0; skipped < kMaxSkippedFrames; ++skipped) {
        Frame answer;
        if (receiveFrame(handle, answer, kHandshakeTimeoutMs, log) != 0) return std::nullopt;
        if (answer.channel() != kBroadcastChannel || answer.command() != kCommandInit ||
            answer.payloadLength() != kInitAnswerLength ||
            !std::equal(nonce.begin(), nonce.end(), answer.initPayload()))
            continue;
        if (log) log->log(kDebug, "u2f transport detected");
        return bigEndian32(answer.initPayload() + kNonceLength);
    }
    return std::nullopt;
}

void send(hid_device* handle, uint32_t channel, const uint8_t* data, size_t length) {
    if (length > kMaxMessage) throw DeviceError("Request too long");
    Frame frame = Frame::initiation(channel, kCommandMessage, length & 0xFFFF);
    size_t sent = std::min(length, kInitPayload);
    std::copy_n(data, sent, frame.initPayload());
    sendFrame(handle, frame);
    for (uint8_t sequence = 0; sent < length; ++sequence) {
        frame = Frame::continuation(channel, sequence);
        size_t chunk = std::min(length - sent, kContinuationPayload);
        std::copy_n(data + sent, chunk, frame.continuationPayload());
        sendFrame(handle, frame);
        sent += chunk;
    }
}

void receive(hid_device* handle, uint32_t channel, size_t capacity, uint32_t timeoutMs,
             std::deque<uint8_t>& queue, LogTarget* log) {
    std::vector<uint8_t> collected;
    int code = collectReply(handle, channel, capacity, timeoutMs, collected, log);
    if (code > 0) {
        queue.insert(queue.end(), collected.begin(), collected.end());
    } else if (code != kTimedOut && log) {
        log->log(kInfo, "hid transport received error %d", code);
    }
}

}  // namespace dravenholt::u2f
