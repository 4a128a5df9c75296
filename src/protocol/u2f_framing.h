// U2F HID framing as both ends see it: 64-byte frames on a channel. An initiation frame holds
// the channel (big-endian), the command with bit 7 set, the payload length (big-endian) and the
// first payload bytes; continuation frames hold the channel, a sequence number and more payload.
// A host asks for a channel on the broadcast channel with a nonce, which the answer echoes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dravenholt::u2f {

constexpr size_t kFrameLength = 64;
constexpr size_t kCommandAt = 4;  // also the sequence number of a continuation frame
constexpr size_t kLengthAt = 5;
constexpr size_t kInitPayloadAt = 7;
constexpr size_t kContinuationPayloadAt = 5;
constexpr size_t kInitPayload = kFrameLength - kInitPayloadAt;                  // 57
constexpr size_t kContinuationPayload = kFrameLength - kContinuationPayloadAt;  // 59
constexpr uint8_t kInitiationBit = 0x80;
constexpr uint8_t kMaxSequence = 0x7F;
constexpr size_t kMaxMessage = kInitPayload + (kMaxSequence + 1) * kContinuationPayload;  // 7609

constexpr uint32_t kBroadcastChannel = 0xFFFFFFFF;
constexpr uint8_t kCommandInit = 0x86;
constexpr uint8_t kCommandMessage = 0xC0;
constexpr uint8_t kCommandError = 0xBF;
constexpr size_t kNonceLength = 8;
constexpr size_t kInitAnswerLength = 17;  // the nonce, the new channel and five bytes of versions

}  // namespace dravenholt::u2f
