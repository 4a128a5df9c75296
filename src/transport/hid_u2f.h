// U2F HID framing (protocol/u2f_framing.h) over hidapi. The library's requests travel as the
// first vendor command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include <hidapi/hidapi.h>

#include "base/log_target.h"
#include "protocol/u2f_framing.h"

namespace dravenholt::u2f {

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
