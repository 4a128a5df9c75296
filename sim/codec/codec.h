// Owning form of the device call messages, for the device side (simulator) and for tests that
// look at what went over the wire. The library itself never copies into these: it uses field
// callbacks over the caller's memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "orvo.pb.h"

namespace dravenholt::wire {

using Bytes = std::vector<uint8_t>;

struct Attribute {
    uint32_t type = 0;
    std::optional<uint32_t> length;
    std::optional<Bytes> value;
    std::optional<uint32_t> number;
    std::optional<bool> flag;
};

struct OaepParams {
    uint32_t hashAlg = 0;
    uint32_t mgf = 0;
    std::optional<uint32_t> source;
    std::optional<uint32_t> sourceDataLength;
    std::optional<Bytes> sourceData;
};

struct EcdhParams {
    uint32_t kdf = 0;
    std::optional<Bytes> sharedData;
    std::optional<Bytes> publicData;
};

struct Mechanism {
    uint32_t mechanism = 0;
    std::optional<uint32_t> parameterLength;
    std::optional<Bytes> parameter;
    std::optional<OaepParams> oaepParams;
    std::optional<EcdhParams> ecdhParams;
};

struct Request {
    uint32_t function = 0;
    std::optional<uint32_t> session;
    std::optional<Mechanism> mechanism;
    std::optional<Bytes> data;
    std::vector<Attribute> templ;   // field 5
    std::optional<uint32_t> handle;
    std::optional<bool> lengthOnly;
    std::optional<uint32_t> value;
    std::vector<Attribute> templ2;  // field 9
    std::optional<Bytes> data2;
    std::optional<uint32_t> length;
    std::optional<uint32_t> handle2;
    std::optional<TokenConfigMsg> config;
};

struct Response {
    uint32_t rv = 0;
    std::optional<uint32_t> handle;
    std::optional<Bytes> data;
    std::optional<uint32_t> length;
    std::optional<uint32_t> handle2;
    std::vector<Attribute> attributes;
    std::optional<SessionInfoMsg> sessionInfo;
    std::optional<TokenInfoMsg> tokenInfo;
    std::optional<TokenConfigMsg> config;
};

// Each returns false with a reason in *error (when given) on malformed input or overflow.
bool decodeRequest(const uint8_t* data, size_t size, Request& out, std::string* error = nullptr);
bool encodeRequest(const Request& in, Bytes& out, size_t limit = 2048, std::string* error = nullptr);
bool decodeResponse(const uint8_t* data, size_t size, Response& out, std::string* error = nullptr);
bool encodeResponse(const Response& in, Bytes& out, size_t limit = 2048, std::string* error = nullptr);

// Attribute entries in each of the three forms: a number, a truth value, bytes (field 3 only
// when there are any).
Attribute numberAttribute(uint32_t type, uint32_t value);
Attribute flagAttribute(uint32_t type, bool value);
Attribute bytesAttribute(uint32_t type, const Bytes& value);

// Convenience for building a TokenInfoMsg from text fields.
void setBytesField(pb_byte_t* dest, pb_size_t& size, size_t capacity, const std::string& text);

}  // namespace dravenholt::wire
