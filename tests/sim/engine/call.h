// Engine requests built in one expression, for the engine tests and the engine's fuzz target.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

#include "codec/codec.h"
#include "function_ids.h"

namespace simtest {

namespace fn = dravenholt::fn;
using dravenholt::wire::Attribute;
using dravenholt::wire::Bytes;
using dravenholt::wire::Mechanism;
using dravenholt::wire::Request;

inline Attribute num(uint32_t type, uint32_t value) { return dravenholt::wire::numberAttribute(type, value); }
inline Attribute flag(uint32_t type, bool value) { return dravenholt::wire::flagAttribute(type, value); }
inline Attribute bytes(uint32_t type, const Bytes& value) { return dravenholt::wire::bytesAttribute(type, value); }
inline Bytes toBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline Mechanism mech(uint32_t type, const Bytes& parameter = {}) { return Mechanism{type, uint32_t(parameter.size()), parameter, {}, {}}; }

inline const Bytes kSoPin = toBytes("sopin123");
inline const Bytes kUserPin = toBytes("user1234");

struct Call {
    explicit Call(uint32_t function, std::optional<uint32_t> session = std::nullopt) {
        r.function = function;
        r.session = session;
    }
    Call& mech(const Mechanism& m) { return r.mechanism = m, *this; }
    Call& handle(uint32_t h) { return r.handle = h, *this; }
    Call& handle2(uint32_t h) { return r.handle2 = h, *this; }
    Call& data(const Bytes& b) { return r.data = b, *this; }
    Call& data2(const Bytes& b) { return r.data2 = b, *this; }
    Call& length(uint32_t n) { return r.length = n, *this; }
    Call& value(uint32_t v) { return r.value = v, *this; }
    Call& templ(std::vector<Attribute> t) { return r.templ = std::move(t), *this; }
    Call& templ2(std::vector<Attribute> t) { return r.templ2 = std::move(t), *this; }
    Request r;
};

inline Bytes encoded(const Request& request) {
    Bytes out;
    std::string error;
    if (!dravenholt::wire::encodeRequest(request, out, 2048, &error)) throw std::runtime_error(error);
    return out;
}

}  // namespace simtest
