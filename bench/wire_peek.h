// Just enough of the message encoding to replay recorded device calls: a top-level number
// field of a message, and the CloseSession request for a session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace orvo_bench {

// The value of the first occurrence of number field `field` (varint form); nothing when the
// message does not hold one or is malformed.
std::optional<uint32_t> numberField(const uint8_t* message, size_t length, uint32_t field);

inline std::optional<uint32_t> numberField(const std::vector<uint8_t>& message, uint32_t field) {
    return numberField(message.data(), message.size(), field);
}

// function = CloseSession (field 1), session (field 2), as the library encodes it.
std::vector<uint8_t> closeSessionRequest(uint32_t session);

}  // namespace orvo_bench
