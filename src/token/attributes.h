// Attribute values received from the device, copied into the caller's template.
#pragma once

#include "base/pkcs11.h"
#include "protocol/callbacks.h"

namespace dravenholt {

// Fills each record of the template whose type the table holds (size query, too-small buffer or
// value) and returns `result` (the device's answer) combined with what the copy met: a buffer
// too small for its value (CKR_BUFFER_TOO_SMALL), or the nested values of an array attribute,
// which the device does not deliver (the attribute is unavailable, CKR_ATTRIBUTE_SENSITIVE).
// Never copies more than was received or than a buffer holds.
CK_RV copyAttributes(const AttributeTable& table, CK_ATTRIBUTE* records, CK_ULONG count, CK_RV result);

// Whether `rv` from C_GetAttributeValue still means that every record was processed: success,
// or one of the three answers that report unavailable values.
bool processedAll(CK_RV rv);

// The result of a template read in several device calls: the answers that report unavailable
// values count in the standard's order (sensitive, then invalid type, then buffer too small).
CK_RV combineAttributeResults(CK_RV sofar, CK_RV next);

}  // namespace dravenholt
