// Field callbacks: templates to the wire, byte strings and attributes back.
#include <gtest/gtest.h>

#include <cstring>

#include <pb_decode.h>
#include <pb_encode.h>

#include "codec/codec.h"
#include "protocol/callbacks.h"

using namespace dravenholt;
using wire::Bytes;

namespace {

wire::Request encodeWithTemplate(CK_ATTRIBUTE* attrs, uint32_t count) {
    FunctionRequest req = FunctionRequest_init_zero;
    req.function = 35;
    Template t{attrs, count};
    setEncode(req.template_, encodeTemplate, &t);
    uint8_t buffer[2048];
    pb_ostream_t out = pb_ostream_from_buffer(buffer, sizeof buffer);
    EXPECT_TRUE(pb_encode(&out, FunctionRequest_fields, &req));
    wire::Request decoded;
    EXPECT_TRUE(wire::decodeRequest(buffer, out.bytes_written, decoded));
    return decoded;
}

bool decodeResponse(const wire::Response& r, FunctionResponse& msg) {
    Bytes bytes;
    wire::encodeResponse(r, bytes, 8192);
    pb_istream_t in = pb_istream_from_buffer(bytes.data(), bytes.size());
    return pb_decode(&in, FunctionResponse_fields, &msg);
}

}  // namespace

TEST(Callbacks, TemplateValueForms) {
    CK_BBOOL yes = CK_TRUE;
    CK_ULONG keyType = CKK_EC;
    CK_BYTE id[3] = {1, 2, 3};
    CK_ATTRIBUTE attrs[] = {
        {CKA_TOKEN, &yes, 1},             // truth value
        {CKA_TOKEN, &yes, 0},             // no length: bytes form, no field 3
        {CKA_KEY_TYPE, &keyType, sizeof keyType},  // number
        {CKA_LABEL, nullptr, 10},         // null value: empty field 3, length cleared
        {CKA_ID, id, 3},                  // bytes
        {CKA_CLASS, &keyType, sizeof(CK_ULONG) - 1},  // too short for a host CK_ULONG: sent as bytes
    };
    wire::Request r = encodeWithTemplate(attrs, 6);
    ASSERT_EQ(r.templ.size(), 6u);
    EXPECT_EQ(r.templ[0].flag, true);
    EXPECT_FALSE(r.templ[0].length);
    EXPECT_EQ(r.templ[1].length, 0u);
    EXPECT_FALSE(r.templ[1].value);
    EXPECT_EQ(r.templ[2].number, static_cast<uint32_t>(CKK_EC));
    EXPECT_EQ(r.templ[3].length, 10u);
    EXPECT_EQ(r.templ[3].value, Bytes{});
    EXPECT_EQ(attrs[3].ulValueLen, 0u);
    EXPECT_EQ(r.templ[4].value, (Bytes{1, 2, 3}));
    EXPECT_FALSE(r.templ[5].number);
    EXPECT_EQ(r.templ[5].length, sizeof(CK_ULONG) - 1);

}

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
