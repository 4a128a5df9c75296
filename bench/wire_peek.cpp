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

}  // namespace

std::optional<uint32_t> numberField(const uint8_t* message, size_t length, uint32_t field) {
    const uint8_t* p = message;
    const uint8_t* end = message + length;
    while (p < end) {
        uint64_t key, value;
        if (!readVarint(p, end, key)) return std::nullopt;
        switch (key & 7) {
            case 0:
                if (!readVarint(p, end, value)) return std::nullopt;
                if ((key >> 3) == field) return static_cast<uint32_t>(value);
                break;
            case 1:
                if (end - p < 8) return std::nullopt;
                p += 8;
                break;
            case 2:
                if (!readVarint(p, end, value) || value > static_cast<uint64_t>(end - p)) return std::nullopt;
                p += value;
                break;
            case 5:
                if (end - p < 4) return std::nullopt;
                p += 4;
                break;
            default: return std::nullopt;
        }
    }
    return std::nullopt;
}

std::vector<uint8_t> closeSessionRequest(uint32_t session) {
    std::vector<uint8_t> out{0x08};
    appendVarint(out, dravenholt::fn::CloseSession);
    out.push_back(0x10);
    appendVarint(out, session);
    return out;
}

}  // namespace orvo_bench
