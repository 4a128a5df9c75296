// Shared by the simulator's tests: independent computations (mbedtls called directly) and
// builders of template entries.
#pragma once

#include <cstdint>
#include <vector>

#include <mbedtls/md.h>

#include "codec/codec.h"

namespace simref {

using Bytes = std::vector<uint8_t>;
using dravenholt::wire::Attribute;

inline Attribute num(uint32_t type, uint32_t value) { return dravenholt::wire::numberAttribute(type, value); }
inline Attribute flag(uint32_t type, bool value) { return dravenholt::wire::flagAttribute(type, value); }
inline Attribute bytes(uint32_t type, const Bytes& value) { return dravenholt::wire::bytesAttribute(type, value); }

Bytes md(mbedtls_md_type_t type, const Bytes& data);
Bytes aesCtr(const Bytes& key, const Bytes& counter, const Bytes& data);
Bytes pattern(size_t n, uint8_t seed = 1);

}  // namespace simref
