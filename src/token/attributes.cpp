// Received attribute values as the host sees them. The wire carries numbers and lengths in 32
// bits and nested records of array attributes in the device layout; the caller's template holds
// host CK_ULONGs and host CK_ATTRIBUTEs.
#include "token/attributes.h"

#include <algorithm>
#include <cstring>

namespace dravenholt {
namespace {

uint32_t readWire32(const uint8_t* p) {
    uint32_t value;  // the device's byte order, which is the host's
    std::memcpy(&value, p, sizeof value);
    return value;
}

bool isWireNumber(CK_ATTRIBUTE_TYPE type, uint32_t wireLength) {
    return isNumberAttribute(type) && wireLength == sizeof(uint32_t);
}

CK_ULONG hostLength(CK_ATTRIBUTE_TYPE type, uint32_t wireLength) {
    if (wireLength == kWireUnavailable) return CK_UNAVAILABLE_INFORMATION;
    if (isWireNumber(type, wireLength)) return sizeof(CK_ULONG);
    if (isArrayAttribute(type)) return wireLength / kNestedRecordSize * sizeof(CK_ATTRIBUTE);
    return wireLength;
}

// One received entry. A value shorter than its announced length is not trusted: it counts as
// unavailable, so nothing of it is copied.
struct Received {
    CK_ATTRIBUTE_TYPE type;
    const uint8_t* bytes;
    uint32_t wireLength;
    CK_ULONG hostLength;

    Received(const AttributeTable& table, int index) {
        const AttributeTable::Value& entry = table.entries[index];
        bool complete = entry.length == 0 || (entry.value && table.received[index] >= entry.length);
        type = entry.type;
        bytes = entry.value;
        wireLength = complete ? entry.length : kWireUnavailable;
        hostLength = dravenholt::hostLength(type, wireLength);
    }
};

// Only the type and length of each nested record cross: the device's value references mean
// nothing here, and it sends no nested values. A nested record that asks for its value (a
// buffer of its own) therefore cannot be served: its length becomes unavailable, and so does
// the attribute's; the caller's own value pointers stay as they are. Returns whether every
// nested record was served.
bool copyNested(const Received& value, CK_ATTRIBUTE& record) {
    auto* nested = static_cast<CK_ATTRIBUTE*>(record.pValue);
    CK_ULONG count = std::min<CK_ULONG>(value.wireLength / kNestedRecordSize, record.ulValueLen / sizeof(CK_ATTRIBUTE));
    bool served = true;
    for (CK_ULONG i = 0; i < count; ++i) {
        const uint8_t* device = value.bytes + i * kNestedRecordSize;
        nested[i].type = readWire32(device);
        if (nested[i].pValue) {
            nested[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
            served = false;
        } else {
            nested[i].ulValueLen = hostLength(nested[i].type, readWire32(device + kNestedLengthAt));
        }
    }
    record.ulValueLen = served ? count * sizeof(CK_ATTRIBUTE) : CK_UNAVAILABLE_INFORMATION;
    return served;
}

// The value into the record's buffer, which holds it; false when it could not be served.
bool copyValue(const Received& value, CK_ATTRIBUTE& record) {
    if (isArrayAttribute(value.type)) return copyNested(value, record);
    if (isWireNumber(value.type, value.wireLength)) {
        CK_ULONG number = readWire32(value.bytes);
        std::memcpy(record.pValue, &number, sizeof number);
    } else if (value.wireLength != 0) {
        std::memcpy(record.pValue, value.bytes, value.wireLength);
    }
    record.ulValueLen = value.hostLength;
    return true;
}

int rank(CK_RV rv) {
    switch (rv) {
        case CKR_OK: return 0;
        case CKR_BUFFER_TOO_SMALL: return 1;
        case CKR_ATTRIBUTE_TYPE_INVALID: return 2;
        case CKR_ATTRIBUTE_SENSITIVE: return 3;
        default: return -1;
    }
}

}  // namespace

bool processedAll(CK_RV rv) { return rank(rv) >= 0; }

CK_RV combineAttributeResults(CK_RV sofar, CK_RV next) {
    if (!processedAll(sofar) || !processedAll(next)) return processedAll(sofar) ? next : sofar;
    return rank(next) > rank(sofar) ? next : sofar;
}

CK_RV copyAttributes(const AttributeTable& table, CK_ATTRIBUTE* records, CK_ULONG count, CK_RV result) {
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE& record = records[i];
        if (record.type > kWireUnavailable) continue;  // never asked for
        int index = findAttribute(&table, static_cast<uint32_t>(record.type));
        if (index < 0) continue;
        Received value(table, index);
        if (!record.pValue) {
            record.ulValueLen = value.hostLength;
        } else if (value.hostLength == CK_UNAVAILABLE_INFORMATION || record.ulValueLen < value.hostLength) {
            record.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            result = combineAttributeResults(result, CKR_BUFFER_TOO_SMALL);
        } else if (!copyValue(value, record)) {
            result = combineAttributeResults(result, CKR_ATTRIBUTE_SENSITIVE);
        }
    }
    return result;
}

}  // namespace dravenholt
