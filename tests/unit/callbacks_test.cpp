// Field callbacks: templates to the wire, byte strings and attributes back.
#include <gtest/gtest.h>

#include <cstring>

#include <pb_decode.h>
#include <pb_encode.h>

#include "codec/codec.h"
#include "protocol/callbacks.h"
#include "support/wide_numbers.h"

using namespace dravenholt;
using wire::Bytes;
using orvotest::kWideHostNumbers;
using orvotest::wide;

namespace {

wire::Request encodeWithTemplate(CK_ATTRIBUTE* attrs, uint32_t count, bool typesOnly = false) {
    FunctionRequest req = FunctionRequest_init_zero;
    req.function = 35;
    Template t{attrs, count};
    setEncode(req.template_, typesOnly ? encodeTypes : encodeTemplate, &t);
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
    CK_ULONG keyType = CKK_EC, bigClass = wide(0x100000000ULL);
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

    wire::Request types = encodeWithTemplate(attrs, 2, true);
    ASSERT_EQ(types.templ.size(), 2u);
    EXPECT_FALSE(types.templ[0].flag);
    EXPECT_FALSE(types.templ[0].length);

    CK_ATTRIBUTE tooBig[] = {{CKA_CLASS, &bigClass, sizeof bigClass}};
    if (kWideHostNumbers) {
        EXPECT_EQ(checkTemplate(tooBig, 1), CKR_ATTRIBUTE_VALUE_INVALID);
    }
    EXPECT_EQ(checkTemplate(nullptr, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(checkTemplate(nullptr, 0), CKR_OK);
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

TEST(Callbacks, DecodedAttributeForms) {
    wire::Response r;
    wire::Attribute both{CKA_CLASS, std::nullopt, std::nullopt, 3u, true};
    wire::Attribute flag{CKA_SIGN, std::nullopt, Bytes{9, 9}, std::nullopt, false};
    wire::Attribute bare{CKA_ID, std::nullopt, std::nullopt, std::nullopt, std::nullopt};
    wire::Attribute shortValue{CKA_LABEL, 10u, Bytes{'a', 'b'}, std::nullopt, std::nullopt};
    r.attributes = {both, flag, bare, shortValue};
    FunctionResponse msg = FunctionResponse_init_zero;
    AttributeTable table;
    setDecode(msg.attributes, decodeAttribute, &table);
    ASSERT_TRUE(decodeResponse(r, msg));
    ASSERT_EQ(table.count, 4);
    EXPECT_EQ(table.entries[0].length, 4u);
    uint32_t number;
    std::memcpy(&number, table.entries[0].value, 4);
    EXPECT_EQ(number, 3u);
    EXPECT_EQ(table.entries[1].length, 1u);
    EXPECT_EQ(table.entries[1].value[0], 0);
    EXPECT_EQ(table.entries[2].length, 0u);
    EXPECT_EQ(table.entries[2].value, nullptr);
    EXPECT_EQ(table.entries[3].length, 10u);
    EXPECT_EQ(table.received[3], 2u);
    EXPECT_EQ(findAttribute(&table, CKA_ID), 2);
    EXPECT_EQ(findAttribute(&table, CKA_VALUE), -1);
    EXPECT_EQ(findAttribute(nullptr, CKA_ID), -1);
}

TEST(Callbacks, AFortyFirstAttributeFailsAndKeepsTheFirstForty) {
    wire::Response r;
    for (uint32_t i = 0; i < 41; ++i) r.attributes.push_back({i, std::nullopt, Bytes{1}, std::nullopt, std::nullopt});
    FunctionResponse msg = FunctionResponse_init_zero;
    AttributeTable table;
    setDecode(msg.attributes, decodeAttribute, &table);
    EXPECT_FALSE(decodeResponse(r, msg));
    EXPECT_EQ(table.count, 40);
}
