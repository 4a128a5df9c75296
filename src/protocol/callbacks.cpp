#include "protocol/callbacks.h"

#include <cstdlib>
#include <cstring>

#include <pb_decode.h>
#include <pb_encode.h>

#include "orvo.pb.h"

namespace dravenholt {
namespace {

uint8_t kTrueByte = 1;
uint8_t kFalseByte = 0;

bool isStaticTruth(const uint8_t* p) { return p == &kTrueByte || p == &kFalseByte; }

// The value callback of one template record (AttributeMsg field 3).
bool encodeAttributeValue(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    auto* record = static_cast<CK_ATTRIBUTE*>(*arg);
    if (!record) return false;
    if (!pb_encode_tag_for_field(stream, field)) return false;
    if (!record->pValue) {
        record->ulValueLen = 0;
        return pb_encode_string(stream, nullptr, 0);
    }
    return pb_encode_string(stream, static_cast<const pb_byte_t*>(record->pValue), record->ulValueLen);
}

// Reads one received AttributeMsg field 3 into a buffer of exactly its length.
struct ReceivedValue {
    uint8_t* data = nullptr;
    uint32_t length = 0;
    ~ReceivedValue() { std::free(data); }
    uint8_t* take() {
        uint8_t* p = data;
        data = nullptr;
        return p;
    }
};

bool decodeAttributeValue(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* value = static_cast<ReceivedValue*>(*arg);
    std::free(value->data);
    value->data = nullptr;
    value->length = static_cast<uint32_t>(stream->bytes_left);
    if (value->length == 0) return true;
    value->data = static_cast<uint8_t*>(std::malloc(value->length));
    if (!value->data) return false;
    return pb_read(stream, value->data, value->length);
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
    if (received > 2048) return false;
    if (received == 0) return true;
    span->data = static_cast<uint8_t*>(std::malloc(received));
    if (!span->data) return false;
    return pb_read(stream, span->data, received);
}

bool encodeTemplate(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* tmpl = static_cast<const Template*>(*arg);
    if (!tmpl) return false;
    for (uint32_t i = 0; i < tmpl->count; ++i) {
        CK_ATTRIBUTE& record = tmpl->attributes[i];
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
            if (record.ulValueLen != 0) setEncode(msg.value, encodeAttributeValue, &record);
        }
        if (!pb_encode_tag_for_field(stream, field) || !pb_encode_submessage(stream, AttributeMsg_fields, &msg))
            return false;
    }
    return true;
}

bool encodeTypes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* tmpl = static_cast<const Template*>(*arg);
    if (!tmpl) return false;
    for (uint32_t i = 0; i < tmpl->count; ++i) {
        if (!fitsWire(tmpl->attributes[i].type)) return false;
        AttributeMsg msg = AttributeMsg_init_zero;
        msg.type = static_cast<uint32_t>(tmpl->attributes[i].type);
        if (!pb_encode_tag_for_field(stream, field) || !pb_encode_submessage(stream, AttributeMsg_fields, &msg))
            return false;
    }
    return true;
}

bool decodeAttribute(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* table = static_cast<AttributeTable*>(*arg);
    if (!table) return false;
    ReceivedValue value;
    AttributeMsg msg = AttributeMsg_init_zero;
    setDecode(msg.value, decodeAttributeValue, &value);
    if (!pb_decode(stream, AttributeMsg_fields, &msg)) return false;
    if (table->count >= kMaxResultAttributes) return false;
    AttributeTable::Entry& entry = table->entries[table->count];
    entry.type = msg.type;
    uint32_t& received = table->received[table->count];
    if (msg.has_number) {
        auto* buffer = static_cast<uint8_t*>(std::malloc(sizeof(uint32_t)));
        if (!buffer) return false;
        std::memcpy(buffer, &msg.number, sizeof(uint32_t));
        entry.value = buffer;
        entry.length = received = sizeof(uint32_t);
    } else if (msg.has_flag) {
        entry.value = msg.flag ? &kTrueByte : &kFalseByte;
        entry.length = received = 1;
    } else {
        entry.length = msg.has_length ? msg.length : 0;
        received = value.length;
        entry.value = value.take();
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

void releaseAttributes(AttributeTable* table) {
    if (!table) return;
    for (int i = 0; i < table->count; ++i) {
        if (!isStaticTruth(table->entries[i].value)) std::free(table->entries[i].value);
        table->entries[i].value = nullptr;
    }
}

AttributeTable::~AttributeTable() { releaseAttributes(this); }

}  // namespace dravenholt
