// Field callbacks: byte strings and attribute templates move between the caller's memory and
// the messages while they are encoded or decoded, without copies.
#pragma once

#include <cstdint>

#include <pb.h>

#include "base/pkcs11.h"

namespace dravenholt {

struct ByteSpan {
    uint8_t* data = nullptr;
    uint32_t length = 0;
};

struct Template {
    const CK_ATTRIBUTE* attributes = nullptr;
    uint32_t count = 0;
};

constexpr uint32_t kMaxResultAttributes = 40;
constexpr uint32_t kWireUnavailable = 0xFFFFFFFFu;

// Whether a host CK_ULONG fits the device's 32-bit numbers; a value that does not is refused,
// never cut short. Where CK_ULONG has 32 bits (64-bit Windows) every value fits, and the
// conversions both ways are the identity.
constexpr bool fitsWire(CK_ULONG value) {
    if constexpr (sizeof(CK_ULONG) <= sizeof(uint32_t))
        return true;
    else
        return value <= 0xFFFFFFFFu;
}

// A 32-bit length or count from the device as the host's CK_ULONG.
inline CK_ULONG hostULong(uint32_t wire) { return wire == kWireUnavailable ? CK_UNAVAILABLE_INFORMATION : wire; }

// The longest request or reply of a device call.
constexpr uint32_t kMessageLimit = 2048;

// Attribute values received from the device, kept in the table's own storage: a reply is at
// most kMessageLimit bytes, so its values fit, numbers (4 bytes each, from as few as 1 on the
// wire) included.

struct AttributeTable {
    struct Value {
        uint32_t type;
        const uint8_t* value;
        uint32_t length;
    };
    Value entries[kMaxResultAttributes];
    uint8_t count = 0;
    // Bytes actually received for a bytes-form entry (field 3), which may be fewer than the
    // announced length (field 2).
    uint32_t received[kMaxResultAttributes];

    // Room for `length` more bytes of values; null when the storage is used up.
    uint8_t* reserve(uint32_t length);
    // Empty again, for a reply decoded anew.
    void clear() {
        count = 0;
        stored_ = 0;
    }

    AttributeTable() = default;
    AttributeTable(const AttributeTable&) = delete;
    AttributeTable& operator=(const AttributeTable&) = delete;

private:
    uint8_t storage_[kMessageLimit + 4 * kMaxResultAttributes];
    uint32_t stored_ = 0;
};

bool encodeBytes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool decodeIntoBuffer(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool decodeAllocated(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool encodeTemplate(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool encodeTypes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool decodeAttribute(pb_istream_t* stream, const pb_field_t* field, void** arg);

int findAttribute(const AttributeTable* table, uint32_t type);  // -1 when not found

// Attribute types sent as a number (field 4) or as a truth value (field 5).
bool isNumberAttribute(CK_ATTRIBUTE_TYPE type);
bool isFlagAttribute(CK_ATTRIBUTE_TYPE type);

// Array attributes (CKA_WRAP_TEMPLATE, ...) hold nested records, which travel in the device
// layout: type (4), value reference (8), length (4), packed, numbers little-endian. The device
// cannot follow a host pointer, so the reference always travels as zeros.
inline bool isArrayAttribute(CK_ATTRIBUTE_TYPE type) { return (type & CKF_ARRAY_ATTRIBUTE) != 0; }
constexpr uint32_t kNestedRecordSize = 16;
constexpr uint32_t kNestedLengthAt = 12;

// Checks what the template encoder cannot send faithfully: a null array with entries, lengths
// and numbers that do not fit the 32-bit wire, an array attribute that is not whole nested
// records. CKR_OK or the fitting return code.
CK_RV checkTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count);

inline void setEncode(pb_callback_t& cb, decltype(pb_callback_t{}.funcs.encode) f, void* arg) {
    cb.funcs.encode = f;
    cb.arg = arg;
}
inline void setDecode(pb_callback_t& cb, decltype(pb_callback_t{}.funcs.decode) f, void* arg) {
    cb.funcs.decode = f;
    cb.arg = arg;
}

}  // namespace dravenholt
