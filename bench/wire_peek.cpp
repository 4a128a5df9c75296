#include "wire_peek.h"

#include "protocol/function_ids.h"

namespace orvo_bench {
namespace {

bool readVarint(const uint8_t*& p, const uint8_t* end, uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 64 && p < end; shift += 7) {
        uint8_t byte = *p++;
        value |= static_cast<uint64_t>(byte & 0x7F) << shift;
        if (!(byte & 0x80)) return true;
    }
    return false;
}

void appendVarint(std::vector<uint8_t>& out, uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<uint8_t>(value));
}

// One top-level field: its number, its value when it is a number, and where its bytes lie.
struct Field {
    uint32_t number = 0;
    std::optional<uint64_t> value;
    const uint8_t* begin = nullptr;
    const uint8_t* end = nullptr;
};

// Reads the field at `p` and moves past it; false at a malformed one.
bool nextField(const uint8_t*& p, const uint8_t* end, Field& field) {
    field = Field{};
    field.begin = p;
    uint64_t key, value;
    if (!readVarint(p, end, key)) return false;
    field.number = static_cast<uint32_t>(key >> 3);
    switch (key & 7) {
        case 0:
            if (!readVarint(p, end, value)) return false;
            field.value = value;
            break;
        case 1:
            if (end - p < 8) return false;
            p += 8;
            break;
        case 2:
            if (!readVarint(p, end, value) || value > static_cast<uint64_t>(end - p)) return false;
            p += value;
            break;
        case 5:
            if (end - p < 4) return false;
            p += 4;
            break;
        default: return false;
    }
    field.end = p;
    return true;
}

}  // namespace

std::optional<uint32_t> numberField(const uint8_t* message, size_t length, uint32_t field) {
    const uint8_t* p = message;
    const uint8_t* end = message + length;
    Field f;
    while (p < end) {
        if (!nextField(p, end, f)) return std::nullopt;
        if (f.number == field && f.value) return static_cast<uint32_t>(*f.value);
    }
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> withNumbersMapped(const std::vector<uint8_t>& message, uint32_t field,
                                                      const std::map<uint32_t, uint32_t>& values) {
    std::vector<uint8_t> out;
    const uint8_t* p = message.data();
    const uint8_t* end = p + message.size();
    Field f;
    while (p < end) {
        if (!nextField(p, end, f)) return std::nullopt;
        auto mapped = f.number == field && f.value ? values.find(static_cast<uint32_t>(*f.value)) : values.end();
        if (mapped == values.end()) {
            out.insert(out.end(), f.begin, f.end);
        } else {
            appendVarint(out, uint64_t(field) << 3);
            appendVarint(out, mapped->second);
        }
    }
    return out;
}

std::vector<uint8_t> closeSessionRequest(uint32_t session) {
    std::vector<uint8_t> out{0x08};
    appendVarint(out, dravenholt::fn::CloseSession);
    out.push_back(0x10);
    appendVarint(out, session);
    return out;
}

}  // namespace orvo_bench
