#include "protocol/callbacks.h"

#include <cstdlib>
#include <cstring>

#include <pb_decode.h>
#include <pb_encode.h>

#include "orvo.pb.h"

namespace dravenholt {
namespace {

const uint8_t kTrueByte = 1;
const uint8_t kFalseByte = 0;

uint32_t nestedCount(const CK_ATTRIBUTE& record) {
    return static_cast<uint32_t>(record.ulValueLen / sizeof(CK_ATTRIBUTE));
}

// The nested records of an array attribute in the device layout, their value references zero.
bool encodeNestedRecords(pb_ostream_t* stream, const CK_ATTRIBUTE& record) {
    const auto* nested = static_cast<const CK_ATTRIBUTE*>(record.pValue);
    uint32_t count = nestedCount(record);
    if (!pb_encode_varint(stream, uint64_t{count} * kNestedRecordSize)) return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t out[kNestedRecordSize] = {};
        uint32_t type = static_cast<uint32_t>(nested[i].type), length = static_cast<uint32_t>(nested[i].ulValueLen);
        std::memcpy(out, &type, sizeof type);  // the device's byte order, which is the host's
        std::memcpy(out + kNestedLengthAt, &length, sizeof length);
        if (!pb_write(stream, out, sizeof out)) return false;
    }
    return true;
}

// The value callback of one template record (AttributeMsg field 3). A record without a value
// sends an empty one; the caller's template is only read, never written (it may lie in
// read-only memory).
bool encodeAttributeValue(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* record = static_cast<const CK_ATTRIBUTE*>(*arg);
    if (!record) return false;
    if (!pb_encode_tag_for_field(stream, field)) return false;
    if (!record->pValue) return pb_encode_string(stream, nullptr, 0);
    if (isArrayAttribute(record->type)) return encodeNestedRecords(stream, *record);
    return pb_encode_string(stream, static_cast<const pb_byte_t*>(record->pValue), record->ulValueLen);
}

// One received AttributeMsg field 3, in the table's storage. A repeated field 3 replaces the
// earlier one, as in pb_decode.
struct ReceivedValue {
    AttributeTable& table;
    const uint8_t* data = nullptr;
    uint32_t length = 0;
};

bool decodeAttributeValue(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* value = static_cast<ReceivedValue*>(*arg);
    value->data = nullptr;
    value->length = static_cast<uint32_t>(stream->bytes_left);
    if (value->length == 0) return true;
    uint8_t* room = value->table.reserve(value->length);
    if (!room) return false;
    value->data = room;
    return pb_read(stream, room, value->length);
}

// Field 3 as pb_decode hands a bytes field to its callback: the string's bytes, or the raw
// bytes of a scalar sent in its place.
bool readValue(pb_istream_t* stream, pb_wire_type_t wireType, ReceivedValue& value) {
    void* arg = &value;
    if (wireType == PB_WT_STRING) {
        pb_istream_t bytes;
        if (!pb_make_string_substream(stream, &bytes)) return false;
        bool ok = decodeAttributeValue(&bytes, nullptr, &arg);
        if (!pb_close_string_substream(stream, &bytes)) return false;
        if (!ok) PB_RETURN_ERROR(stream, "callback failed");
        return true;
    }
    pb_byte_t raw[10];
    size_t size = 0;
    if (wireType == PB_WT_VARINT) {
        do {
            if (size == sizeof raw) PB_RETURN_ERROR(stream, "varint overflow");
            if (!pb_read(stream, raw + size, 1)) return false;
        } while (raw[size++] & 0x80);
    } else if (wireType == PB_WT_32BIT || wireType == PB_WT_64BIT) {
        size = wireType == PB_WT_32BIT ? 4 : 8;
        if (!pb_read(stream, raw, size)) return false;
    } else {
        PB_RETURN_ERROR(stream, "invalid wire_type");
    }
    pb_istream_t bytes = pb_istream_from_buffer(raw, size);
    if (!decodeAttributeValue(&bytes, nullptr, &arg)) PB_RETURN_ERROR(stream, "callback failed");
    return true;
}

// Reads one AttributeMsg as pb_decode would read it into `msg` (field 3 into `value`), without
// walking the message's field descriptors: unknown fields are skipped, a known field of the wrong
// wire type, a number beyond 32 bits, a zero tag and a missing type fail, and the last of
// repeated fields wins.
bool readAttributeMsg(pb_istream_t* stream, AttributeMsg& msg, ReceivedValue& value) {
    bool hasType = false;
    for (;;) {
        pb_wire_type_t wireType;
        uint32_t tag;
        bool eof = false;
        if (!pb_decode_tag(stream, &wireType, &tag, &eof)) {
            if (eof) break;
            return false;
        }
        auto number = [&](uint32_t& out) {
            uint64_t wide;
            if (wireType != PB_WT_VARINT) PB_RETURN_ERROR(stream, "wrong wire type");
            if (!pb_decode_varint(stream, &wide)) return false;
            if (wide > 0xFFFFFFFFu) PB_RETURN_ERROR(stream, "integer too large");
            out = static_cast<uint32_t>(wide);
            return true;
        };
        bool ok;
        switch (tag) {
            case 0: PB_RETURN_ERROR(stream, "zero tag");
            case AttributeMsg_type_tag: ok = hasType = number(msg.type); break;
            case AttributeMsg_length_tag: ok = msg.has_length = number(msg.length); break;
            case AttributeMsg_number_tag: ok = msg.has_number = number(msg.number); break;
            case AttributeMsg_flag_tag:
                if (wireType != PB_WT_VARINT) PB_RETURN_ERROR(stream, "wrong wire type");
                ok = msg.has_flag = pb_decode_bool(stream, &msg.flag);
                break;
            case AttributeMsg_value_tag: ok = readValue(stream, wireType, value); break;
            default: ok = pb_skip_field(stream, wireType);
        }
        if (!ok) return false;
    }
    if (!hasType) PB_RETURN_ERROR(stream, "missing required field");
    return true;
}

}  // namespace

bool isNumberAttribute(CK_ATTRIBUTE_TYPE type) {
    switch (type) {
        case CKA_CLASS: case CKA_CERTIFICATE_TYPE: case CKA_CERTIFICATE_CATEGORY:
        case CKA_JAVA_MIDP_SECURITY_DOMAIN: case CKA_NAME_HASH_ALGORITHM: case CKA_KEY_TYPE:
        case CKA_MODULUS_BITS: case CKA_VALUE_LEN: case CKA_KEY_GEN_MECHANISM:
            return true;
        default:
            return false;
    }
}

bool isFlagAttribute(CK_ATTRIBUTE_TYPE type) {
    switch (type) {
        case CKA_TOKEN: case CKA_PRIVATE: case CKA_TRUSTED: case CKA_SENSITIVE: case CKA_ENCRYPT:
        case CKA_DECRYPT: case CKA_WRAP: case CKA_UNWRAP: case CKA_SIGN: case CKA_SIGN_RECOVER:
        case CKA_VERIFY: case CKA_VERIFY_RECOVER: case CKA_DERIVE: case CKA_EXTRACTABLE:
        case CKA_LOCAL: case CKA_NEVER_EXTRACTABLE: case CKA_ALWAYS_SENSITIVE: case CKA_MODIFIABLE:
        case CKA_COPYABLE: case CKA_DESTROYABLE: case CKA_ALWAYS_AUTHENTICATE:
        case CKA_WRAP_WITH_TRUSTED: case 0x80000002UL:
            return true;
        default:
            return false;
    }
}

CK_RV checkTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    if (count > 0 && !attributes) return CKR_ARGUMENTS_BAD;
    if (!fitsWire(count)) return CKR_ARGUMENTS_BAD;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& a = attributes[i];
        if (!fitsWire(a.type) || !fitsWire(a.ulValueLen)) return CKR_ATTRIBUTE_VALUE_INVALID;
        if (a.pValue && a.ulValueLen >= sizeof(CK_ULONG) && isNumberAttribute(a.type) &&
            !fitsWire(*static_cast<const CK_ULONG*>(a.pValue)))
            return CKR_ATTRIBUTE_VALUE_INVALID;
        if (a.pValue && isArrayAttribute(a.type)) {
            if (a.ulValueLen % sizeof(CK_ATTRIBUTE) != 0) return CKR_ATTRIBUTE_VALUE_INVALID;
            const auto* nested = static_cast<const CK_ATTRIBUTE*>(a.pValue);
            for (CK_ULONG i = 0; i < a.ulValueLen / sizeof(CK_ATTRIBUTE); ++i)
                if (!fitsWire(nested[i].type) || !fitsWire(nested[i].ulValueLen)) return CKR_ATTRIBUTE_VALUE_INVALID;
        }
    }
    return CKR_OK;
}

bool encodeBytes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* span = static_cast<const ByteSpan*>(*arg);
    if (!span) return false;
    return pb_encode_tag_for_field(stream, field) && pb_encode_string(stream, span->data, span->length);
}

bool decodeIntoBuffer(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* span = static_cast<ByteSpan*>(*arg);
    if (!span) return false;
    size_t received = stream->bytes_left;
    if (received > span->length) return false;
    span->length = static_cast<uint32_t>(received);
    return pb_read(stream, span->data, received);  // a null buffer skips the bytes
}

bool decodeAllocated(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* span = static_cast<ByteSpan*>(*arg);
    if (!span) return false;
    std::free(span->data);  // a repeated occurrence replaces the earlier one
    span->data = nullptr;
    size_t received = stream->bytes_left;
    span->length = static_cast<uint32_t>(received);
    if (received > kMessageLimit) return false;
    if (received == 0) return true;
    span->data = static_cast<uint8_t*>(std::malloc(received));
    if (!span->data) return false;
    return pb_read(stream, span->data, received);
}

bool encodeTemplate(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* tmpl = static_cast<const Template*>(*arg);
    if (!tmpl) return false;
    for (uint32_t i = 0; i < tmpl->count; ++i) {
        const CK_ATTRIBUTE& record = tmpl->attributes[i];
        if (!fitsWire(record.type) || !fitsWire(record.ulValueLen)) return false;
        AttributeMsg msg = AttributeMsg_init_zero;
        msg.type = static_cast<uint32_t>(record.type);
        bool hasValue = record.pValue && record.ulValueLen != 0;
        if (hasValue && isNumberAttribute(record.type) && record.ulValueLen >= sizeof(CK_ULONG)) {
            CK_ULONG number = *static_cast<const CK_ULONG*>(record.pValue);
            if (!fitsWire(number)) return false;
            msg.has_number = true;
            msg.number = static_cast<uint32_t>(number);
        } else if (hasValue && isFlagAttribute(record.type)) {
            msg.has_flag = true;
            msg.flag = *static_cast<const uint8_t*>(record.pValue) != 0;
        } else {
            msg.has_length = true;
            msg.length = static_cast<uint32_t>(record.ulValueLen);
            if (record.pValue && isArrayAttribute(record.type)) msg.length = nestedCount(record) * kNestedRecordSize;
            if (record.ulValueLen != 0) setEncode(msg.value, encodeAttributeValue, const_cast<CK_ATTRIBUTE*>(&record));
        }
        if (!pb_encode_tag_for_field(stream, field) || !pb_encode_submessage(stream, AttributeMsg_fields, &msg))
            return false;
    }
    return true;
}

// A record that carries only its type is AttributeMsg field 1 alone. The records are written
// directly, a chunk at a time: the generic submessage encoder walks all five fields twice (once
// to size the message), and a stream write per byte costs as much again.
bool encodeTypes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* tmpl = static_cast<const Template*>(*arg);
    if (!tmpl) return false;
    pb_byte_t tag[5];
    pb_ostream_t tagStream = pb_ostream_from_buffer(tag, sizeof tag);
    if (!pb_encode_tag_for_field(&tagStream, field)) return false;
    const size_t tagLength = tagStream.bytes_written;
    // A record: the field's tag, its length (one byte: at most 6), the tag of field 1, the type
    // as a varint of at most 5 bytes.
    const size_t recordLimit = tagLength + 1 + 1 + 5;
    pb_byte_t chunk[256];
    size_t used = 0;
    for (uint32_t i = 0; i < tmpl->count; ++i) {
        if (!fitsWire(tmpl->attributes[i].type)) return false;
        if (used + recordLimit > sizeof chunk) {
            if (!pb_write(stream, chunk, used)) return false;
            used = 0;
        }
        std::memcpy(chunk + used, tag, tagLength);
        used += tagLength;
        size_t lengthAt = used++;
        chunk[used++] = AttributeMsg_type_tag << 3 | PB_WT_VARINT;
        auto type = static_cast<uint32_t>(tmpl->attributes[i].type);
        do {
            chunk[used++] = static_cast<pb_byte_t>((type & 0x7F) | (type > 0x7F ? 0x80 : 0));
            type >>= 7;
        } while (type);
        chunk[lengthAt] = static_cast<pb_byte_t>(used - lengthAt - 1);
    }
    return pb_write(stream, chunk, used);
}

bool decodeAttribute(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* table = static_cast<AttributeTable*>(*arg);
    if (!table) return false;
    ReceivedValue value{*table};
    AttributeMsg msg = AttributeMsg_init_zero;
    if (!readAttributeMsg(stream, msg, value)) return false;
    if (table->count >= kMaxResultAttributes) return false;
    AttributeTable::Value& entry = table->entries[table->count];
    entry.type = msg.type;
    uint32_t& received = table->received[table->count];
    if (msg.has_number) {
        uint8_t* number = table->reserve(sizeof(uint32_t));
        if (!number) return false;
        std::memcpy(number, &msg.number, sizeof(uint32_t));
        entry.value = number;
        entry.length = received = sizeof(uint32_t);
    } else if (msg.has_flag) {
        entry.value = msg.flag ? &kTrueByte : &kFalseByte;
        entry.length = received = 1;
    } else {
        entry.length = msg.has_length ? msg.length : 0;
        received = value.length;
        entry.value = value.data;
    }
    ++table->count;
    return true;
}

int findAttribute(const AttributeTable* table, uint32_t type) {
    if (!table) return -1;
    for (int i = 0; i < table->count; ++i)
        if (table->entries[i].type == type) return i;
    return -1;
}

uint8_t* AttributeTable::reserve(uint32_t length) {
    if (length > sizeof storage_ - stored_) return nullptr;
    uint8_t* room = storage_ + stored_;
    stored_ += length;
    return room;
}

}  // namespace dravenholt
