// decodeAttribute reads each received attribute record without nanopb's generic decoder; it must
// accept, refuse and fill exactly as pb_decode over AttributeMsg does, for well-formed records
// and for damaged ones.
#include <gtest/gtest.h>

#include <pb_decode.h>
#include <pb_encode.h>

#include <cstring>
#include <random>
#include <vector>

#include "orvo.pb.h"
#include "protocol/callbacks.h"

using namespace dravenholt;

namespace {

using Bytes = std::vector<uint8_t>;

// What the library kept of one record.
struct Kept {
    uint32_t type, length, received;
    Bytes value;
    bool operator==(const Kept&) const = default;
};

// The reference: pb_decode of AttributeMsg, then the library's choice of value form.
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

// Whether the reply decodes, and what was kept of its records.
std::pair<bool, std::vector<Kept>> decodeReply(const Bytes& reply, bool reference) {
    std::vector<Kept> kept;
    FunctionResponse msg = FunctionResponse_init_zero;
    AttributeTable table;
    if (reference) setDecode(msg.attributes, referenceAttribute, &kept);
    else setDecode(msg.attributes, decodeAttribute, &table);
    pb_istream_t in = pb_istream_from_buffer(reply.data(), reply.size());
    const bool ok = pb_decode(&in, FunctionResponse_fields, &msg);
    for (int i = 0; !reference && i < table.count; ++i) {
        const AttributeTable::Value& e = table.entries[i];
        const uint32_t received = table.received[i];
        kept.push_back({e.type, e.length, received, e.value ? Bytes(e.value, e.value + received) : Bytes{}});
    }
    return {ok, kept};
}

void putVarint(Bytes& out, uint64_t value) {
    do {
        out.push_back(static_cast<uint8_t>((value & 0x7F) | (value >= 0x80 ? 0x80 : 0)));
        value >>= 7;
    } while (value);
}

// One record: mostly well-formed fields, now and then a wrong wire type, an unknown field, a
// number beyond 32 bits, a zero byte or a cut.
Bytes randomRecord(std::mt19937& random) {
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    Bytes record;
    int fields = static_cast<int>(pick(5));
    for (int f = 0; f < fields; ++f) {
        uint32_t tag = pick(10) == 0 ? 6 + pick(3) : 1 + pick(5);
        uint32_t wire = pick(8) == 0 ? pick(8) : static_cast<uint32_t>(tag == 3 ? PB_WT_STRING : PB_WT_VARINT);
        putVarint(record, tag << 3 | wire);
        switch (wire) {
            case PB_WT_VARINT: putVarint(record, pick(6) == 0 ? (uint64_t{1} << (32 + pick(30))) : random() >> pick(32)); break;
            case PB_WT_64BIT: record.insert(record.end(), 8, 0xAB); break;
            case PB_WT_32BIT: record.insert(record.end(), 4, 0xCD); break;
            case PB_WT_STRING: {
                uint32_t length = pick(6);
                putVarint(record, length);
                for (uint32_t i = 0; i < length; ++i) record.push_back(static_cast<uint8_t>(random()));
                break;
            }
            default: break;  // a group or an invalid wire type, with nothing after it
        }
    }
    if (pick(12) == 0) record.insert(record.begin() + pick(static_cast<uint32_t>(record.size()) + 1), 0);
    if (pick(12) == 0 && !record.empty()) record.resize(pick(static_cast<uint32_t>(record.size())));
    return record;
}

}  // namespace

TEST(AttributeReader, ReadsAndRefusesWhatPbDecodeReadsAndRefuses) {
    std::mt19937 random(7);
    int accepted = 0;
    for (int i = 0; i < 20000; ++i) {
        Bytes reply{0x08, 0x00};
        int records = static_cast<int>(random() % 4);
        if (random() % 50 == 0) records = 45;  // beyond the table's 40 entries
        for (int r = 0; r < records; ++r) {
            Bytes record = random() % 3 ? Bytes{0x08, static_cast<uint8_t>(random() % 128)} : Bytes{};
            Bytes more = randomRecord(random);
            record.insert(record.end(), more.begin(), more.end());
            reply.push_back(0x32);
            putVarint(reply, record.size());
            reply.insert(reply.end(), record.begin(), record.end());
        }
        auto fast = decodeReply(reply, false), reference = decodeReply(reply, true);
        ASSERT_EQ(fast.first, reference.first) << ::testing::PrintToString(reply);
        if (fast.first) ASSERT_EQ(fast.second, reference.second) << ::testing::PrintToString(reply);
        accepted += fast.first;
    }
    EXPECT_GT(accepted, 5000);  // the cases reach the success paths, not only the refusals
}
