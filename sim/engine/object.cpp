#include "object.h"

#include <algorithm>
#include <array>

namespace dravenholt::sim {
namespace {

constexpr std::array<uint32_t, 9> kNumberTypes = {
    CKA_CLASS, CKA_CERTIFICATE_TYPE, CKA_CERTIFICATE_CATEGORY, CKA_JAVA_MIDP_SECURITY_DOMAIN,
    CKA_NAME_HASH_ALGORITHM, CKA_KEY_TYPE, CKA_MODULUS_BITS, CKA_VALUE_LEN, CKA_KEY_GEN_MECHANISM};

constexpr std::array<uint32_t, 23> kFlagTypes = {
    CKA_TOKEN, CKA_PRIVATE, CKA_TRUSTED, CKA_SENSITIVE, CKA_ENCRYPT, CKA_DECRYPT,
    CKA_WRAP, CKA_UNWRAP, CKA_SIGN, CKA_SIGN_RECOVER, CKA_VERIFY, CKA_VERIFY_RECOVER,
    CKA_DERIVE, CKA_EXTRACTABLE, CKA_LOCAL, CKA_NEVER_EXTRACTABLE, CKA_ALWAYS_SENSITIVE,
    CKA_MODIFIABLE, CKA_COPYABLE, CKA_DESTROYABLE, CKA_ALWAYS_AUTHENTICATE,
    CKA_WRAP_WITH_TRUSTED, 0x80000002};

template <size_t N>
bool contains(const std::array<uint32_t, N>& list, uint32_t type) {
    return std::find(list.begin(), list.end(), type) != list.end();
}

}  // namespace

AttrForm attributeForm(uint32_t type) {
    if (contains(kNumberTypes, type)) return AttrForm::Number;
    if (contains(kFlagTypes, type)) return AttrForm::Flag;
    return AttrForm::Bytes;
}

const Bytes* Object::find(uint32_t type) const {
    auto it = attrs_.find(type);
    return it == attrs_.end() ? nullptr : &it->second;
}

uint32_t Object::number(uint32_t type, uint32_t fallback) const {
    const Bytes* v = find(type);
    return v && v->size() == 4 ? readLe32(v->data()) : fallback;
}

bool Object::flag(uint32_t type, bool fallback) const {
    const Bytes* v = find(type);
    return v && v->size() == 1 ? (*v)[0] != 0 : fallback;
}

Bytes Object::bytes(uint32_t type) const {
    const Bytes* v = find(type);
    return v ? *v : Bytes{};
}

bool Object::isKey() const {
    uint32_t c = objectClass();
    return c == CKO_PUBLIC_KEY || c == CKO_PRIVATE_KEY || c == CKO_SECRET_KEY;
}

size_t Object::size() const {
    size_t total = 0;
    for (const auto& [type, value] : attrs_) total += 8 + value.size();
    return total;
}

Object::~Object() {
    for (auto& [type, value] : attrs_) wipe(value);
}

Rv attributeFromWire(const wire::Attribute& in, Bytes& out) {
    switch (attributeForm(in.type)) {
    case AttrForm::Number:
        if (!in.number) return CKR_ATTRIBUTE_VALUE_INVALID;
        out = le32(*in.number);
        return CKR_OK;
    case AttrForm::Flag:
        if (!in.flag) return CKR_ATTRIBUTE_VALUE_INVALID;
        out = Bytes{uint8_t(*in.flag ? 1 : 0)};
        return CKR_OK;
    case AttrForm::Bytes:
        if (in.number || in.flag) return CKR_ATTRIBUTE_VALUE_INVALID;
        out = in.value.value_or(Bytes{});
        return CKR_OK;
    }
    return CKR_ATTRIBUTE_VALUE_INVALID;
}

wire::Attribute attributeToWire(uint32_t type, const Bytes* value) {
    wire::Attribute a;
    a.type = type;
    if (!value) {
        a.length = kUnavailable;
        return a;
    }
    AttrForm form = attributeForm(type);
    if (form == AttrForm::Number && value->size() == 4) {
        a.number = readLe32(value->data());
    } else if (form == AttrForm::Flag && value->size() == 1) {
        a.flag = (*value)[0] != 0;
    } else {
        a.length = uint32_t(value->size());
        if (!value->empty()) a.value = *value;
    }
    return a;
}

}  // namespace dravenholt::sim
