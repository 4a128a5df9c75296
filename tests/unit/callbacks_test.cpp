// Field callbacks for byte strings received: never beyond the caller's buffer, never beyond the
// largest reply, and no leak when a field repeats.
#include <gtest/gtest.h>

#include <cstdlib>

#include <pb_decode.h>

#include "codec/codec.h"
#include "protocol/callbacks.h"

using namespace dravenholt;
using wire::Bytes;

namespace {

bool decodeResponse(const wire::Response& r, FunctionResponse& msg) {
    Bytes bytes;
    wire::encodeResponse(r, bytes, 8192);
    pb_istream_t in = pb_istream_from_buffer(bytes.data(), bytes.size());
    return pb_decode(&in, FunctionResponse_fields, &msg);
}

}  // namespace

TEST(Callbacks, DecodeIntoBufferHonoursTheCapacity) {
    uint8_t buffer[16];
    for (size_t size : {16u, 17u}) {
        wire::Response r;
        r.data = Bytes(size, 0x5A);
        FunctionResponse msg = FunctionResponse_init_zero;
        ByteSpan span{buffer, sizeof buffer};
        setDecode(msg.data, decodeIntoBuffer, &span);
        EXPECT_EQ(decodeResponse(r, msg), size == 16);
        if (size == 16) {
            EXPECT_EQ(span.length, 16u);
        }
    }
    // A null buffer records only the length.
    wire::Response r;
    r.data = Bytes(300, 1);
    FunctionResponse msg = FunctionResponse_init_zero;
    ByteSpan span{nullptr, 1000};
    setDecode(msg.data, decodeIntoBuffer, &span);
    EXPECT_TRUE(decodeResponse(r, msg));
    EXPECT_EQ(span.length, 300u);
}

TEST(Callbacks, DecodeAllocatedLimitsAndReplacesRepeatedFields) {
    wire::Response r;
    r.data = Bytes(2049, 1);
    FunctionResponse msg = FunctionResponse_init_zero;
    ByteSpan span;
    setDecode(msg.data, decodeAllocated, &span);
    EXPECT_FALSE(decodeResponse(r, msg));
    std::free(span.data);
    // The same field twice: the second replaces the first without leaking it.
    Bytes twice = {0x08, 0x00, 0x1A, 0x02, 0xAA, 0xBB, 0x1A, 0x01, 0xCC};
    span = ByteSpan{};
    FunctionResponse again = FunctionResponse_init_zero;
    setDecode(again.data, decodeAllocated, &span);
    pb_istream_t in = pb_istream_from_buffer(twice.data(), twice.size());
    ASSERT_TRUE(pb_decode(&in, FunctionResponse_fields, &again));
    ASSERT_EQ(span.length, 1u);
    EXPECT_EQ(span.data[0], 0xCC);
    std::free(span.data);
}
