// Attribute values received from the device, copied into the caller's template.
#pragma once

#include "frame/pkcs11.h"
#include "protocol/callbacks.h"

namespace dravenholt {

// Fills each record of the template whose type the table holds (size query, too-small buffer or
// value) and returns `result`, or CKR_BUFFER_TOO_SMALL when `result` is CKR_OK and some record's
// buffer could not take its value. Never copies more than was received or than a buffer holds.
CK_RV copyAttributes(const AttributeTable& table, CK_ATTRIBUTE* records, CK_ULONG count, CK_RV result);

}  // namespace dravenholt
