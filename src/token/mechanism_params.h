// How a CK_MECHANISM travels to the device (request field 3, MechanismMsg).
//
// The device reads parameter blocks in its own layout: little-endian, packed, 32-bit CK_ULONG,
// 8-byte pointers. Blocks whose host layout differs (structures holding CK_ULONGs) are re-laid
// out here, and MechanismMsg field 2 then carries the length on the wire; byte-only blocks
// (IVs, public values) travel as they are. No host address ever travels: where a structure
// holds a pointer the device layout carries zeros, and the data that the derivations by
// encryption point at goes in the block itself (after the IV for the CBC forms). A null block
// with a non-zero length is never read: it travels as an empty block. Every byte field points
// into the call's MechanismBytes or the caller's memory, so the call (and the caller's
// mechanism) must outlive run().
#pragma once

#include "token/operation.h"

namespace dravenholt {

// The mechanism encoder of the operations that start encryption, decryption or a derivation.
// OAEP and ECDH1 parameters are taken apart into MechanismMsg fields 4 and 5 (their length must
// be the host sizeof of the structure); every other block is sent with its wire length in
// field 2. Logs "Mechanism: 0x%08lx" at TRACE. Returns CKR_OK or the refusal, which the call
// also keeps, so that run() sends nothing: CKR_ARGUMENTS_BAD for the OAEP and ECDH1 blocks that
// are refused, CKR_MECHANISM_INVALID, CKR_MECHANISM_PARAM_INVALID or CKR_DATA_LEN_RANGE for
// host values that do not fit the 32-bit wire.
CK_RV encodeMechanism(Context& context, DeviceCall& call, const CK_MECHANISM& mechanism);

// Whether the direct fill sends MechanismMsg field 2.
enum class ParameterLength { Absent, Sent };

// The direct fill: field 1 = the type, field 3 = the block in the device layout, and field 2 =
// its wire length when asked. Never takes a block apart and logs nothing. Host values that do
// not fit the wire are refused through the call, as above.
DeviceCall& fillMechanism(DeviceCall& call, const CK_MECHANISM& mechanism, ParameterLength length);

}  // namespace dravenholt
