// The hand-written codecs against nanopb's generic ones, on random messages: the request encoder,
// the response decoder, and the reader of received attribute records.
#include <gtest/gtest.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <algorithm>
#include <random>
#include <vector>

#include "orvo.pb.h"
#include "protocol/callbacks.h"
#include "protocol/function_ids.h"
#include "protocol/request_encoder.h"
#include "protocol/response_decoder.h"

using namespace dravenholt;

namespace {

using Bytes = std::vector<uint8_t>;

void expectEncodedAsNanopb(const FunctionRequest& request, size_t capacity = 2048) {
    auto with = [&](auto encode) {
        Bytes buffer(capacity);
        pb_ostream_t out = pb_ostream_from_buffer(buffer.data(), buffer.size());
        bool ok = encode(&out);
        buffer.resize(ok ? out.bytes_written : 0);
        return std::make_tuple(ok, buffer, std::string(out.errmsg ? out.errmsg : ""));
    };
    EXPECT_EQ(with([&](pb_ostream_t* s) { return encodeRequest(s, request); }),
              with([&](pb_ostream_t* s) { return pb_encode(s, FunctionRequest_fields, &request); }));
}

TEST(Codecs, RequestEncoderWritesWhatNanopbWrites) {
    uint8_t data[300] = {1, 2, 3}, data2[5] = {1, 2, 3, 4, 5};
    CK_ULONG keyType = CKK_EC;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE first[] = {{CKA_KEY_TYPE, &keyType, sizeof keyType}, {CKA_SIGN, &yes, 1}, {CKA_LABEL, data, 7}, {0xFFFFFFFFu, nullptr, 0}};
    CK_ATTRIBUTE second[] = {{CKA_ID, data2, sizeof data2}};
    ByteSpan spans[2] = {{data, sizeof data}, {data2, sizeof data2}};
    Template templates[2] = {{first, 4}, {second, 1}};
    std::mt19937 random(20240611);
    auto coin = [&] { return random() % 2 == 0; };
    auto number = [&]() -> uint32_t { return random() >> (random() % 32); };
    for (int i = 0; i < 2000; ++i) {  // a random choice of fields, values of every varint length
        FunctionRequest r = FunctionRequest_init_zero;
        r.function = number();
        if ((r.has_session = coin())) r.session = number();
        if ((r.has_mechanism = coin())) {
            r.mechanism.mechanism = number();
            if ((r.mechanism.has_parameterLength = coin())) r.mechanism.parameterLength = number();
            if ((r.mechanism.has_oaepParams = coin())) r.mechanism.oaepParams.hashAlg = number();
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
        if ((r.has_config = coin()) && (r.config.has_value4 = coin())) r.config.value4 = number();
        expectEncodedAsNanopb(r);
    }
    FunctionRequest r = FunctionRequest_init_zero;  // the buffer running out, a failing callback
    r.function = fn::Sign;
    setEncode(r.data, encodeBytes, &spans[0]);
    for (size_t capacity : {0u, 1u, 3u, 50u, 303u, 304u}) expectEncodedAsNanopb(r, capacity);
    setEncode(r.data, encodeBytes, nullptr);
    expectEncodedAsNanopb(r);
}

void varint(Bytes& out, uint64_t value) {
    do out.push_back(static_cast<uint8_t>((value & 0x7F) | (value > 0x7F ? 0x80 : 0))); while (value >>= 7);
}

// Up to five random fields, mostly of the `usual` numbers in their own wire type (length-delimited where
// set in the `strings` bits); now and then a number up to `foreign`, a wrong wire type, a value beyond 32
// bits or padded, the bytes 0xEE/0xEF the recording callbacks react to, the whole cut short or a byte changed.
Bytes randomFields(std::mt19937& random, const std::vector<uint32_t>& usual, uint32_t strings, uint32_t foreign) {
    auto pick = [&](size_t n) { return static_cast<uint32_t>(random() % n); };
    Bytes out;
    for (uint32_t fields = pick(6); fields-- > 0;) {
        uint32_t number = pick(10) == 0 ? 1 + pick(foreign) : usual[pick(usual.size())];
        uint32_t type = pick(10) == 0 ? pick(8) : strings >> number & 1 ? uint32_t{PB_WT_STRING} : uint32_t{PB_WT_VARINT};
        varint(out, number << 3 | type);
        uint32_t extra = type == PB_WT_64BIT ? 8 : type == PB_WT_32BIT ? 4 : pick(9);  // a group or no type: anything
        if (type == PB_WT_STRING) {
            varint(out, extra);
            while (extra-- > 0) out.push_back(static_cast<uint8_t>(pick(10) == 0 ? 0xEE + pick(2) : random()));
        } else if (type == PB_WT_VARINT) {
            varint(out, pick(8) == 0 ? (uint64_t{1} << (32 + pick(30))) + random() : random() >> pick(32));
            if (pick(10) == 0) out.back() |= 0x80, out.push_back(0);  // the same value, padded
        } else {
            while (extra-- > 0) out.push_back(static_cast<uint8_t>(random()));
        }
    }
    if (!out.empty() && pick(8) == 0) out.resize(pick(out.size()));
    if (!out.empty() && pick(8) == 0) out[pick(out.size())] = static_cast<uint8_t>(random());
    return out;
}

// What the callbacks saw, call by call: a callback takes at most `bite` bytes a call, so the
// call-again loops are compared too; 0xEE makes it fail, 0xEF makes it read beyond its field.
struct Seen {
    std::vector<std::pair<char, Bytes>> calls;
    size_t bite;
};
template <char Which>
bool record(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* seen = static_cast<Seen*>(*arg);
    Bytes got(std::min(stream->bytes_left, seen->bite)), beyond(16);
    if (!pb_read(stream, got.data(), got.size())) return false;
    seen->calls.emplace_back(Which, got);
    if (!got.empty() && got[0] == 0xEF) return pb_read(stream, beyond.data(), std::min<size_t>(stream->bytes_left + 1, 16));
    return got.empty() || got[0] != 0xEE;
}

// What the library kept of one attribute record.
struct Kept {
    uint32_t type, length, received;
    Bytes value;
    bool operator==(const Kept&) const = default;
};

bool collectBytes(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* bytes = static_cast<Bytes*>(*arg);
    bytes->resize(stream->bytes_left);
    return pb_read(stream, bytes->data(), bytes->size());
}

// The reference: pb_decode of AttributeMsg, then the library's choice of value form.
bool referenceAttribute(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* kept = static_cast<std::vector<Kept>*>(*arg);
    Bytes value;
    AttributeMsg msg = AttributeMsg_init_zero;
    setDecode(msg.value, collectBytes, &value);
    if (!pb_decode(stream, AttributeMsg_fields, &msg) || kept->size() >= kMaxResultAttributes) return false;
    if (msg.has_number) value.assign(reinterpret_cast<uint8_t*>(&msg.number), reinterpret_cast<uint8_t*>(&msg.number + 1));
    else if (msg.has_flag) value = {static_cast<uint8_t>(msg.flag ? 1 : 0)};
    const auto size = static_cast<uint32_t>(value.size());
    kept->push_back({msg.type, msg.has_number || msg.has_flag ? size : msg.has_length ? msg.length : 0, size, value});
    return true;
}

// Random replies: either of any fields, compared call by call with the recording callbacks and by
// the error they cause, or of attribute records, compared by what the library's reader kept against
// pb_decode of each AttributeMsg.
TEST(Codecs, ResponseDecoderAndAttributeReaderDecodeWhatNanopbDecodes) {
    std::mt19937 random(20261206);
    int accepted = 0;
    for (int i = 0; i < 30000; ++i) {
        size_t bite = 1 + random() % 8;
        bool recording = random() % 2 == 0;
        Bytes reply = recording ? randomFields(random, {1, 1, 2, 3, 3, 4, 5, 6, 6}, 0x1FC8 /* 3, 6 to 12 */, 12) : Bytes{0x08, 0x00};
        if (!recording && random() % 50 == 0) {  // a full table of well-formed records, or one beyond it
            for (uint8_t r = 0, n = 40 + random() % 2; r < n; ++r) reply.insert(reply.end(), {0x32, 0x02, 0x08, r});
        } else if (!recording) {
            for (int n = random() % 4; n-- > 0;) {
                Bytes record = random() % 3 ? Bytes{0x08, static_cast<uint8_t>(random() % 128)} : Bytes{};  // mostly a type
                Bytes more = randomFields(random, {2, 3, 4, 5}, 1 << 3, 8);
                record.insert(record.end(), more.begin(), more.end());
                reply.push_back(0x32);
                varint(reply, record.size());
                reply.insert(reply.end(), record.begin(), record.end());
            }
        }
        auto with = [&](bool library) {
            Seen seen{{}, bite};
            std::vector<Kept> kept;
            AttributeTable table;
            FunctionResponse r = FunctionResponse_init_zero;
            if (recording) r.data = {{record<'d'>}, &seen}, r.attributes = {{record<'a'>}, &seen};
            else if (library) setDecode(r.attributes, decodeAttribute, &table);
            else setDecode(r.attributes, referenceAttribute, &kept);
            pb_istream_t in = pb_istream_from_buffer(reply.data(), reply.size());
            const char* error = nullptr;
            bool ok = library ? decodeResponse(reply.data(), reply.size(), r, error)
                              : pb_decode_ex(&in, FunctionResponse_fields, &r, PB_DECODE_NOINIT);
            if (!library) error = in.errmsg;
            for (int k = 0; k < table.count; ++k) {
                const AttributeTable::Value& e = table.entries[k];
                kept.push_back({e.type, e.length, table.received[k], e.value ? Bytes(e.value, e.value + table.received[k]) : Bytes{}});
            }
            return std::make_tuple(ok, std::string(error && recording ? error : ""), seen.calls, ok ? kept : std::vector<Kept>{}, r.rv,
                                   r.has_handle, r.handle, r.has_length, r.length, r.has_handle2, r.handle2, r.has_sessionInfo,
                                   r.sessionInfo.state, r.has_config, r.config.value2, r.has_tokenInfo);
        };
        auto library = with(true);
        ASSERT_EQ(library, with(false)) << "reply " << i << " " << ::testing::PrintToString(reply);
        accepted += !std::get<3>(library).empty();
    }
    EXPECT_GT(accepted, 1500);  // the cases reach the records' success paths, not only the refusals
}

}  // namespace
