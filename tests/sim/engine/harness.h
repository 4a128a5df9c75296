// Drives one engine through encoded requests, as the library would.
#pragma once
#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

#include "codec/codec.h"
#include "engine/engine.h"
#include "function_ids.h"
#include "reference/reference.h"

#include <p11-kit/pkcs11.h>

namespace simtest {

namespace fn = dravenholt::fn;

using dravenholt::wire::Attribute;
using dravenholt::wire::Bytes;
using dravenholt::wire::Mechanism;
using dravenholt::wire::Request;
using dravenholt::wire::Response;

using simref::bytes;
using simref::flag;
using simref::num;
inline Bytes toBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline Attribute text(uint32_t type, const std::string& value) { return bytes(type, toBytes(value)); }
inline Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
inline Mechanism mech(uint32_t type, const Bytes& parameter = {}) {
    Mechanism m;
    m.mechanism = type;
    m.parameterLength = uint32_t(parameter.size());
    m.parameter = parameter;
    return m;
}

// A request built in one expression: Call(fn::EncryptInit, s).mech(m).handle(key).
struct Call {
    explicit Call(uint32_t function, std::optional<uint32_t> session = std::nullopt) {
        r.function = function;
        r.session = session;
    }
    Call& mech(const Mechanism& m) { return r.mechanism = m, *this; }
    Call& handle(uint32_t h) { return r.handle = h, *this; }
    Call& data(const Bytes& b) { return r.data = b, *this; }
    Call& data2(const Bytes& b) { return r.data2 = b, *this; }
    Call& length(uint32_t n) { return r.length = n, *this; }
    Call& value(uint32_t v) { return r.value = v, *this; }
    Call& templ(std::vector<Attribute> t) { return r.templ = std::move(t), *this; }
    Call& templ2(std::vector<Attribute> t) { return r.templ2 = std::move(t), *this; }
    Request r;
};

inline const Bytes kSoPin = {'s', 'o', 'p', 'i', 'n', '1', '2', '3'};
inline const Bytes kUserPin = {'u', 's', 'e', 'r', '1', '2', '3', '4'};

class Device {
public:
    explicit Device(dravenholt::sim::EngineOptions options = {});

    Response call(const Request& req);
    Response call(const Call& c) { return call(c.r); }
    uint32_t rv(const Call& c) { return call(c.r).rv; }
    Response call(uint32_t function, uint32_t session) { return call(Call(function, session)); }

    // Fresh token with both PINs set, one RW session logged in as the user.
    uint32_t readyUserSession();
    void initToken();
    uint32_t open(bool rw = true);
    uint32_t login(uint32_t session, uint32_t userType, const Bytes& pin);

    uint32_t create(uint32_t session, const std::vector<Attribute>& templ);
    Response getAttributes(uint32_t session, uint32_t object, std::initializer_list<uint32_t> types);
    Bytes attribute(uint32_t session, uint32_t object, uint32_t type);
    uint32_t secretKey(uint32_t session, uint32_t keyType, const Bytes& value,
                       std::vector<Attribute> extra = {});

    std::pair<uint32_t, uint32_t> keyPair(uint32_t session, const Mechanism& m,
                                          std::vector<Attribute> pub, std::vector<Attribute> priv);
    // Every handle a search with this template finds, fetched two at a time.
    std::vector<uint32_t> find(uint32_t session, std::vector<Attribute> templ);

    dravenholt::sim::Engine& engine() { return *engine_; }

    // The client the calls come from.
    dravenholt::sim::Engine::ClientId client = dravenholt::sim::Engine::kDefaultClient;

private:
    std::unique_ptr<dravenholt::sim::Engine> engine_;
};

}  // namespace simtest
