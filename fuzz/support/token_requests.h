// Requests to the simulator's engine, as the library would send them: the token the engine
// target starts every input from, and the seeds' request sequences.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/codec.h"

namespace fuzzreq {

using dravenholt::wire::Attribute;
using dravenholt::wire::Bytes;
using dravenholt::wire::Request;

inline const Bytes kSoPin = {'s', 'o', 'p', 'i', 'n', '1', '2', '3'};
inline const Bytes kUserPin = {'u', 's', 'e', 'r', '1', '2', '3', '4'};

Request call(uint32_t function, uint32_t session = 0);
Bytes encoded(const Request& request);

inline Attribute number(uint32_t type, uint32_t value) { return dravenholt::wire::numberAttribute(type, value); }
inline Attribute flag(uint32_t type, bool value) { return dravenholt::wire::flagAttribute(type, value); }
inline Attribute bytes(uint32_t type, const Bytes& value) { return dravenholt::wire::bytesAttribute(type, value); }

// A fresh token with both PINs set, then the user logged in on RW session 1 with a token data
// object, an AES token key and an EC P-256 token key pair.
std::vector<Request> initialisedToken();

}  // namespace fuzzreq
