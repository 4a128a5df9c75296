// U2F HID framing: 64-byte frames on a channel, an initialisation frame with command and
// payload length followed by numbered continuation frames. The library's requests travel as
// the first vendor command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include <hidapi/hidapi.h>

#include "base/log_target.h"

namespace dravenholt::u2f {

constexpr uint32_t kBroadcastChannel = 0xFFFFFFFF;
constexpr size_t kFrameLength = 64;
constexpr size_t kInitPayload = 57;
constexpr size_t kContinuationPayload = 59;
constexpr uint8_t kMaxSequence = 0x7F;
constexpr size_t kMaxMessage = kInitPayload + (kMaxSequence + 1) * kContinuationPayload;  // 7609
constexpr uint8_t kCommandInit = 0x86;
constexpr uint8_t kCommandMessage = 0xC0;
constexpr uint8_t kCommandError = 0xBF;
constexpr uint32_t kHandshakeTimeoutMs = 250;

// Receive results below zero.
constexpr int kTimedOut = -5;
constexpr int kBrokenSequence = -4;
constexpr int kReadFailed = -127;

// Asks the device for a channel; none when it does not answer the allocation in time.
std::optional<uint32_t> handshake(hid_device* handle, LogTarget* log);

// Sends `length` bytes as one message on `channel`. Throws DeviceError when hidapi refuses a
// frame.
void send(hid_device* handle, uint32_t channel, const uint8_t* data, size_t length);

// Receives one reply on `channel`, at most `capacity` bytes of it, into `queue`. Failures are
// logged, never thrown. An initiation frame among the reply's continuation frames breaks the
// sequence: nothing of either reply is queued.
void receive(hid_device* handle, uint32_t channel, size_t capacity, uint32_t timeoutMs,
             std::deque<uint8_t>& queue, LogTarget* log);

}  // namespace dravenholt::u2f
