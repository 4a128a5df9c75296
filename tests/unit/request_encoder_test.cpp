// The request encoder and the types-only template encoder write exactly what nanopb's generic
// encoder writes, for every field of the request.
#include <gtest/gtest.h>

#include <pb_common.h>
#include <pb_encode.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "protocol/callbacks.h"
#include "protocol/request_encoder.h"
#include "unit/field_tags.h"

using namespace dravenholt;

namespace {

using Bytes = std::vector<uint8_t>;

struct Encoded {
    bool ok;
    Bytes bytes;
    std::string error;
};

template <class Encode>
Encoded encodeWith(Encode encode, size_t capacity = 2048) {
    Bytes buffer(capacity);
    pb_ostream_t out = pb_ostream_from_buffer(buffer.data(), buffer.size());
    bool ok = encode(&out);
    buffer.resize(out.bytes_written);
    return {ok, ok ? buffer : Bytes{}, out.errmsg ? out.errmsg : ""};
}

void expectSameAsNanopb(const FunctionRequest& request, size_t capacity = 2048) {
    Encoded generic = encodeWith([&](pb_ostream_t* s) { return pb_encode(s, FunctionRequest_fields, &request); }, capacity);
    Encoded fast = encodeWith([&](pb_ostream_t* s) { return encodeRequest(s, request); }, capacity);
    EXPECT_EQ(fast.ok, generic.ok);
    EXPECT_EQ(fast.bytes, generic.bytes);
    EXPECT_EQ(fast.error, generic.error);
}

// A request with a random choice of fields, values of every varint length, and the library's
// own field callbacks over the given spans and templates.
FunctionRequest randomRequest(std::mt19937& random, ByteSpan (&spans)[2], Template (&templates)[2]) {
    auto coin = [&] { return random() % 2 == 0; };
    auto number = [&]() -> uint32_t { return random() >> (random() % 32); };
    FunctionRequest r = FunctionRequest_init_zero;
    r.function = number();
    if ((r.has_session = coin())) r.session = number();
    if ((r.has_mechanism = coin())) {
        r.mechanism.mechanism = number();
        if ((r.mechanism.has_parameterLength = coin())) r.mechanism.parameterLength = number();
        if ((r.mechanism.has_oaepParams = coin())) r.mechanism.oaepParams.hashAlg = number();
        if ((r.mechanism.has_ecdhParams = coin())) r.mechanism.ecdhParams.kdf = number();
    }
    if (coin()) setEncode(r.data, encodeBytes, &spans[0]);
    if (coin()) setEncode(r.template_, coin() ? encodeTypes : encodeTemplate, &templates[0]);
    if ((r.has_handle = coin())) r.handle = number();
    if ((r.has_lengthOnly = coin())) r.lengthOnly = coin();
    if ((r.has_value = coin())) r.value = number();
    if (coin()) setEncode(r.template2, encodeTemplate, &templates[1]);
    if (coin()) setEncode(r.data2, encodeBytes, &spans[1]);
    if ((r.has_length = coin())) r.length = number();
    if ((r.has_handle2 = coin())) r.handle2 = number();
    if ((r.has_config = coin())) {
        if ((r.config.has_value1 = coin())) r.config.value1 = number();
        if ((r.config.has_value4 = coin())) r.config.value4 = number();
    }
    return r;
}

}  // namespace

TEST(RequestEncoder, KnowsEveryFieldOfTheRequest) {
    EXPECT_EQ(fieldTags<FunctionRequest>(FunctionRequest_fields),
              (std::set<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}))
        << "a field was added to FunctionRequest: teach encodeRequest about it";
}

TEST(RequestEncoder, WritesWhatNanopbWrites) {
    uint8_t data[300], data2[5] = {1, 2, 3, 4, 5};
    for (size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<uint8_t>(i);
    CK_ULONG keyType = CKK_EC;
    CK_BBOOL yes = CK_TRUE;
    CK_BYTE label[] = "a label";
    CK_ATTRIBUTE first[] = {{CKA_KEY_TYPE, &keyType, sizeof keyType}, {CKA_SIGN, &yes, 1}, {CKA_LABEL, label, 7},
                            {0xFFFFFFFFu, nullptr, 0}};
    CK_ATTRIBUTE second[] = {{CKA_ID, data2, sizeof data2}};
    ByteSpan spans[2] = {{data, sizeof data}, {data2, sizeof data2}};
    Template templates[2] = {{first, 4}, {second, 1}};
    std::mt19937 random(20240611);
    for (int i = 0; i < 2000; ++i) expectSameAsNanopb(randomRequest(random, spans, templates));
}

TEST(RequestEncoder, FailsAsNanopbFailsWhenTheBufferRunsOut) {
    uint8_t data[100] = {};
    ByteSpan span{data, sizeof data};
    FunctionRequest r = FunctionRequest_init_zero;
    r.function = 22;
    r.has_session = true;
    r.session = 300;
    setEncode(r.data, encodeBytes, &span);
    for (size_t capacity : {0u, 1u, 3u, 50u, 104u, 105u, 106u}) expectSameAsNanopb(r, capacity);

    setEncode(r.data, encodeBytes, nullptr);  // a callback that fails on its own
    expectSameAsNanopb(r);
}

TEST(RequestEncoder, TypesOnlyTemplateIsTheGenericRecordOfItsTypeAlone) {
    FunctionRequest request = FunctionRequest_init_zero;
    pb_field_iter_t field;
    ASSERT_TRUE(pb_field_iter_begin(&field, FunctionRequest_fields, &request));
    ASSERT_TRUE(pb_field_iter_find(&field, FunctionRequest_template__tag));
    std::mt19937 random(7);
    std::vector<CK_ATTRIBUTE> attributes(100);
    for (CK_ATTRIBUTE& a : attributes) a = {random() >> (random() % 32), nullptr, 0};
    for (uint32_t count : {0u, 1u, 31u, 100u}) {
        for (size_t capacity : {2048u, 150u}) {
            Template types{attributes.data(), count};
            void* arg = &types;
            Encoded direct = encodeWith([&](pb_ostream_t* s) { return encodeTypes(s, &field, &arg); }, capacity);
            Encoded generic = encodeWith([&](pb_ostream_t* s) {
                for (uint32_t i = 0; i < count; ++i) {
                    AttributeMsg record = AttributeMsg_init_zero;
                    record.type = static_cast<uint32_t>(attributes[i].type);
                    if (!pb_encode_tag_for_field(s, &field) || !pb_encode_submessage(s, AttributeMsg_fields, &record))
                        return false;
                }
                return true;
            }, capacity);
            EXPECT_EQ(direct.ok, generic.ok) << count << " records into " << capacity;
            EXPECT_EQ(direct.bytes, generic.bytes) << count << " records";
            EXPECT_EQ(direct.error, generic.error);
        }
    }
}
