// The device call's reply decoder: what pb_decode makes of a FunctionResponse (without
// initialising it first), but without looking up the field descriptor of every field it meets.
// A reply of the common shape (return value, handles, lengths, data, attributes: fields 1 to 6
// with their proper wire types and 32-bit numbers) is read directly; any other reply, well formed
// or not, goes to pb_decode, so that both give the same result and the same error text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "orvo.pb.h"

namespace dravenholt {

// False with `error` set to pb_decode's message when the reply does not decode.
bool decodeResponse(const uint8_t* bytes, size_t length, FunctionResponse& response, const char*& error);

}  // namespace dravenholt
