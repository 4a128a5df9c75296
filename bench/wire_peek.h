// Just enough of the message encoding to replay recorded device calls: a top-level number
// field of a message, such fields rewritten, and the CloseSession request for a session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace orvo_bench {

// The value of the first occurrence of number field `field` (varint form); nothing when the
// message does not hold one or is malformed.
std::optional<uint32_t> numberField(const uint8_t* message, size_t length, uint32_t field);

inline std::optional<uint32_t> numberField(const std::vector<uint8_t>& message, uint32_t field) {
    return numberField(message.data(), message.size(), field);
}

// The message with the value of top-level number field `field` replaced wherever `values` maps
// it; nothing when the message is malformed.
std::optional<std::vector<uint8_t>> withNumbersMapped(const std::vector<uint8_t>& message, uint32_t field,
                                                      const std::map<uint32_t, uint32_t>& values);

// function = CloseSession (field 1), session (field 2), as the library encodes it.
std::vector<uint8_t> closeSessionRequest(uint32_t session);

}  // namespace orvo_bench
