// One object of the token: its attributes in their stored form (numbers as 4 little-endian
// bytes, truth values as one byte, everything else as the bytes received).
#pragma once

#include <map>
#include <memory>

#include "codec/codec.h"
#include "common.h"

struct evp_pkey_st;  // OpenSSL's EVP_PKEY

namespace dravenholt::sim {

enum class AttrForm { Number, Flag, Bytes };

// How an attribute type travels: the same three forms the library uses for templates.
AttrForm attributeForm(uint32_t type);

class Object {
public:
    Object() = default;
    Object(const Object&) = default;
    Object(Object&&) = default;
    Object& operator=(const Object&) = default;
    Object& operator=(Object&&) = default;
    bool has(uint32_t type) const { return attrs_.count(type) != 0; }
    const Bytes* find(uint32_t type) const;
    uint32_t number(uint32_t type, uint32_t fallback = 0) const;
    bool flag(uint32_t type, bool fallback = false) const;
    Bytes bytes(uint32_t type) const;

    void set(uint32_t type, Bytes value) { changed()[type] = std::move(value); }
    void setNumber(uint32_t type, uint32_t value) { changed()[type] = le32(value); }
    void setFlag(uint32_t type, bool value) { changed()[type] = Bytes{uint8_t(value ? 1 : 0)}; }
    void setDefault(uint32_t type, Bytes value) { changed().try_emplace(type, std::move(value)); }
    void erase(uint32_t type) { changed().erase(type); }

    // The key material parsed for the cryptography, kept until an attribute changes.
    const std::shared_ptr<evp_pkey_st>& parsedKey() const { return parsed_; }
    void keepParsedKey(std::shared_ptr<evp_pkey_st> key) const { parsed_ = std::move(key); }

    uint32_t objectClass() const { return number(CKA_CLASS, kUnavailable); }
    uint32_t keyType() const { return number(CKA_KEY_TYPE, kUnavailable); }
    bool isToken() const { return flag(CKA_TOKEN); }
    bool isPrivate() const { return flag(CKA_PRIVATE); }
    bool isKey() const;

    // Bytes the object occupies in storage.
    size_t size() const;
    const std::map<uint32_t, Bytes>& attributes() const { return attrs_; }
    ~Object();

private:
    std::map<uint32_t, Bytes>& changed() {
        parsed_.reset();
        return attrs_;
    }

    std::map<uint32_t, Bytes> attrs_;
    mutable std::shared_ptr<evp_pkey_st> parsed_;
};

// Converts one received template entry into its stored form; CKR_ATTRIBUTE_VALUE_INVALID when
// the entry's form does not suit its type.
Rv attributeFromWire(const wire::Attribute& in, Bytes& out);
// The wire form of a stored value; `value` null gives an unavailable entry.
wire::Attribute attributeToWire(uint32_t type, const Bytes* value);

}  // namespace dravenholt::sim
