#include "protocol/response_decoder.h"

#include <pb_decode.h>

namespace dravenholt {
namespace {

// One field of the common shape: a number, or the bytes of a string field.
struct Field {
    uint32_t number = 0;
    uint32_t value = 0;  // the number, or the string's length
    const uint8_t* bytes = nullptr;
};

enum class Kind { Number, Bytes, Other };

Kind kindOf(uint32_t number) {
    switch (number) {
    case FunctionResponse_rv_tag:
    case FunctionResponse_handle_tag:
    case FunctionResponse_length_tag:
    case FunctionResponse_handle2_tag: return Kind::Number;
    case FunctionResponse_data_tag:
    case FunctionResponse_attributes_tag: return Kind::Bytes;
    default: return Kind::Other;
    }
}

class Cursor {
public:
    Cursor(const uint8_t* bytes, size_t length) : at_(bytes), end_(bytes + length) {}
    bool done() const { return at_ == end_; }

    // The next field if it has the common shape; false for anything else, which includes a
    // number written in more than five bytes or beyond 32 bits.
    bool next(Field& field) {
        uint32_t tag;
        if (!varint32(tag)) return false;
        field.number = tag >> 3;
        uint32_t wireType = tag & 7;
        switch (kindOf(field.number)) {
        case Kind::Number: return wireType == PB_WT_VARINT && varint32(field.value);
        case Kind::Bytes:
            if (wireType != PB_WT_STRING || !varint32(field.value) || field.value > static_cast<size_t>(end_ - at_))
                return false;
            field.bytes = at_;
            at_ += field.value;
            return true;
        case Kind::Other: break;
        }
        return false;
    }

private:
    bool varint32(uint32_t& value) {
        uint64_t result = 0;
        for (unsigned shift = 0; shift < 35 && at_ != end_; shift += 7) {
            uint8_t byte = *at_++;
            result |= static_cast<uint64_t>(byte & 0x7F) << shift;
            if ((byte & 0x80) == 0) {
                value = static_cast<uint32_t>(result);
                return result <= UINT32_MAX;
            }
        }
        return false;
    }

    const uint8_t* at_;
    const uint8_t* end_;
};

// Whether the whole reply has the common shape, with its required return value.
bool commonShape(const uint8_t* bytes, size_t length) {
    Cursor cursor(bytes, length);
    Field field;
    bool hasRv = false;
    while (!cursor.done()) {
        if (!cursor.next(field)) return false;
        hasRv |= field.number == FunctionResponse_rv_tag;
    }
    return hasRv;
}

// A string field to its callback as pb_decode hands it over: again while the callback takes
// bytes and some are left; what it leaves is skipped. The library's decode callbacks do not
// look at the field descriptor, so none is looked up for them.
bool deliver(const Field& field, pb_callback_t& callback, const char*& error) {
    if (!callback.funcs.decode) return true;
    pb_istream_t in = pb_istream_from_buffer(field.bytes, field.value);
    size_t before;
    do {
        before = in.bytes_left;
        if (!callback.funcs.decode(&in, nullptr, &callback.arg)) {
            error = in.errmsg ? in.errmsg : "callback failed";
            return false;
        }
    } while (in.bytes_left > 0 && in.bytes_left < before);
    return true;
}

}  // namespace

bool decodeResponse(const uint8_t* bytes, size_t length, FunctionResponse& r, const char*& error) {
    error = nullptr;
    if (!commonShape(bytes, length)) {
        pb_istream_t in = pb_istream_from_buffer(bytes, length);
        if (pb_decode_ex(&in, FunctionResponse_fields, &r, PB_DECODE_NOINIT)) return true;
        error = in.errmsg;
        return false;
    }
    Cursor cursor(bytes, length);
    Field field;
    while (cursor.next(field)) {
        switch (field.number) {
        case FunctionResponse_rv_tag: r.rv = field.value; break;
        case FunctionResponse_handle_tag: r.has_handle = true, r.handle = field.value; break;
        case FunctionResponse_length_tag: r.has_length = true, r.length = field.value; break;
        case FunctionResponse_handle2_tag: r.has_handle2 = true, r.handle2 = field.value; break;
        case FunctionResponse_data_tag:
            if (!deliver(field, r.data, error)) return false;
            break;
        case FunctionResponse_attributes_tag:
            if (!deliver(field, r.attributes, error)) return false;
            break;
        }
    }
    return true;
}

}  // namespace dravenholt
