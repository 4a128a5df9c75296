// The device call's request encoder: the bytes pb_encode would write for a FunctionRequest, but
// without walking the descriptor of each of its thirteen fields, of which a request sets a few.
// Submessages go through nanopb as usual; the field callbacks are called directly, with
// descriptors looked up once.
#pragma once

#include <pb_encode.h>

#include "orvo.pb.h"

namespace dravenholt {

// False with stream->errmsg set as pb_encode sets it ("stream full" when the buffer ran out).
bool encodeRequest(pb_ostream_t* stream, const FunctionRequest& request);

}  // namespace dravenholt
