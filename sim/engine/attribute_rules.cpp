#include "attribute_rules.h"

#include <algorithm>
#include <initializer_list>

namespace dravenholt::sim {
namespace {

bool among(uint32_t type, std::initializer_list<uint32_t> list) {
    return std::find(list.begin(), list.end(), type) != list.end();
}

// Attributes that only the token sets.
bool tokenOnly(uint32_t type) {
    return among(type, {CKA_LOCAL, CKA_ALWAYS_SENSITIVE, CKA_NEVER_EXTRACTABLE,
                        CKA_KEY_GEN_MECHANISM});
}

// Attributes that never change once the object exists.
bool fixedAfterCreation(uint32_t type) {
    return tokenOnly(type) ||
           among(type, {CKA_CLASS, CKA_KEY_TYPE, CKA_CERTIFICATE_TYPE, CKA_VALUE, CKA_VALUE_LEN,
                        CKA_MODULUS, CKA_MODULUS_BITS, CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT,
                        CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1, CKA_EXPONENT_2,
                        CKA_COEFFICIENT, CKA_EC_PARAMS, CKA_EC_POINT, CKA_PRIME, CKA_BASE,
                        CKA_SUBPRIME, CKA_PRIME_BITS, CKA_VALUE_BITS});
}

void flagDefaults(Object& o, std::initializer_list<std::pair<uint32_t, bool>> list) {
    for (const auto& [type, value] : list) o.setDefault(type, Bytes{uint8_t(value ? 1 : 0)});
}

void bytesDefaults(Object& o, std::initializer_list<uint32_t> list) {
    for (uint32_t type : list) o.setDefault(type, Bytes{});
}

Rv keyDefaults(Object& o, Origin origin, uint32_t mechanism) {
    if (!o.has(CKA_KEY_TYPE)) return CKR_TEMPLATE_INCOMPLETE;
    bytesDefaults(o, {CKA_ID, CKA_START_DATE, CKA_END_DATE});
    flagDefaults(o, {{CKA_DERIVE, false}});
    o.setFlag(CKA_LOCAL, origin == Origin::Generated);
    o.setNumber(CKA_KEY_GEN_MECHANISM, origin == Origin::Generated ? mechanism : kUnavailable);
    switch (o.objectClass()) {
    case CKO_PUBLIC_KEY:
        bytesDefaults(o, {CKA_SUBJECT});
        flagDefaults(o, {{CKA_ENCRYPT, true}, {CKA_VERIFY, true}, {CKA_VERIFY_RECOVER, false},
                         {CKA_WRAP, false}, {CKA_TRUSTED, false}});
        break;
    case CKO_PRIVATE_KEY:
        bytesDefaults(o, {CKA_SUBJECT});
        flagDefaults(o, {{CKA_SENSITIVE, true}, {CKA_DECRYPT, true}, {CKA_SIGN, true},
                         {CKA_SIGN_RECOVER, false}, {CKA_UNWRAP, false},
                         {CKA_EXTRACTABLE, true}, {CKA_ALWAYS_AUTHENTICATE, false},
                         {CKA_WRAP_WITH_TRUSTED, false}});
        break;
    default:  // secret key
        flagDefaults(o, {{CKA_SENSITIVE, true}, {CKA_ENCRYPT, true}, {CKA_DECRYPT, true},
                         {CKA_SIGN, true}, {CKA_VERIFY, true}, {CKA_WRAP, false},
                         {CKA_UNWRAP, false}, {CKA_EXTRACTABLE, true}, {CKA_TRUSTED, false},
                         {CKA_WRAP_WITH_TRUSTED, false}});
        break;
    }
    if (o.objectClass() != CKO_PUBLIC_KEY) {
        // A key that was ever revealed keeps that history; generated and derived keys start
        // from their own settings, imported ones were known outside the token.
        bool local = origin == Origin::Generated || origin == Origin::Derived;
        o.setDefault(CKA_ALWAYS_SENSITIVE, Bytes{uint8_t(local && o.flag(CKA_SENSITIVE))});
        o.setDefault(CKA_NEVER_EXTRACTABLE, Bytes{uint8_t(local && !o.flag(CKA_EXTRACTABLE))});
    }
    return CKR_OK;
}

}  // namespace

Rv readTemplate(const std::vector<wire::Attribute>& templ, Object& out) {
    for (const wire::Attribute& a : templ) {
        if (out.has(a.type)) return CKR_TEMPLATE_INCONSISTENT;
        Bytes value;
        if (Rv rv = attributeFromWire(a, value); rv != CKR_OK) return rv;
        out.set(a.type, std::move(value));
    }
    return CKR_OK;
}

Rv completeObject(Object& o, Origin origin, uint32_t mechanism) {
    if (!o.has(CKA_CLASS)) return CKR_TEMPLATE_INCOMPLETE;
    for (const auto& [type, value] : o.attributes())
        if (tokenOnly(type)) return CKR_ATTRIBUTE_READ_ONLY;
    uint32_t cls = o.objectClass();
    bool key = cls == CKO_PRIVATE_KEY || cls == CKO_SECRET_KEY;
    flagDefaults(o, {{CKA_TOKEN, false}, {CKA_PRIVATE, key}, {CKA_MODIFIABLE, true},
                     {CKA_COPYABLE, true}, {CKA_DESTROYABLE, true}});
    bytesDefaults(o, {CKA_LABEL});
    switch (cls) {
    case CKO_DATA:
        bytesDefaults(o, {CKA_APPLICATION, CKA_OBJECT_ID, CKA_VALUE});
        return CKR_OK;
    case CKO_CERTIFICATE:
        if (!o.has(CKA_CERTIFICATE_TYPE)) return CKR_TEMPLATE_INCOMPLETE;
        if (o.number(CKA_CERTIFICATE_TYPE) != CKC_X_509) return CKR_ATTRIBUTE_VALUE_INVALID;
        if (!o.has(CKA_SUBJECT) || !o.has(CKA_VALUE)) return CKR_TEMPLATE_INCOMPLETE;
        flagDefaults(o, {{CKA_TRUSTED, false}});
        o.setDefault(CKA_CERTIFICATE_CATEGORY, le32(0));
        bytesDefaults(o, {CKA_ID, CKA_ISSUER, CKA_SERIAL_NUMBER, CKA_START_DATE, CKA_END_DATE});
        return CKR_OK;
    case CKO_DOMAIN_PARAMETERS:
        if (!o.has(CKA_KEY_TYPE)) return CKR_TEMPLATE_INCOMPLETE;
        o.setFlag(CKA_LOCAL, origin == Origin::Generated);
        return CKR_OK;
    case CKO_PUBLIC_KEY:
    case CKO_PRIVATE_KEY:
    case CKO_SECRET_KEY:
        return keyDefaults(o, origin, mechanism);
    default:
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
}

Rv applyChanges(Object& obj, const Object& changes, bool copy, bool so) {
    if (copy && !obj.flag(CKA_COPYABLE, true)) return CKR_ACTION_PROHIBITED;
    if (!copy && !obj.flag(CKA_MODIFIABLE, true)) return CKR_ACTION_PROHIBITED;
    for (const auto& [type, value] : changes.attributes()) {
        const Bytes* current = obj.find(type);
        if (current && *current == value) continue;
        bool on = value.size() == 1 && value[0] != 0;
        switch (type) {
        case CKA_TOKEN:
        case CKA_PRIVATE:
        case CKA_MODIFIABLE:
            if (!copy) return CKR_ATTRIBUTE_READ_ONLY;
            if (type == CKA_MODIFIABLE && on) return CKR_ATTRIBUTE_READ_ONLY;
            break;
        case CKA_SENSITIVE:
        case CKA_WRAP_WITH_TRUSTED:
            if (!on) return CKR_ATTRIBUTE_READ_ONLY;  // may only be switched on
            break;
        case CKA_EXTRACTABLE:
        case CKA_COPYABLE:
        case CKA_DESTROYABLE:
            if (on) return CKR_ATTRIBUTE_READ_ONLY;  // may only be switched off
            break;
        case CKA_TRUSTED:
            if (on && !so) return CKR_ATTRIBUTE_READ_ONLY;
            break;
        default:
            if (fixedAfterCreation(type)) return CKR_ATTRIBUTE_READ_ONLY;
            if (!current && obj.objectClass() != CKO_DATA && type != CKA_LABEL &&
                type != CKA_ID && type != CKA_SUBJECT && type != CKA_START_DATE &&
                type != CKA_END_DATE && type != CKA_APPLICATION)
                return CKR_ATTRIBUTE_TYPE_INVALID;
            break;
        }
        obj.set(type, value);
    }
    if (obj.objectClass() == CKO_PRIVATE_KEY || obj.objectClass() == CKO_SECRET_KEY) {
        if (!obj.flag(CKA_SENSITIVE)) obj.setFlag(CKA_ALWAYS_SENSITIVE, false);
        if (obj.flag(CKA_EXTRACTABLE)) obj.setFlag(CKA_NEVER_EXTRACTABLE, false);
    }
    return CKR_OK;
}

bool isSensitive(const Object& obj, uint32_t type) {
    uint32_t cls = obj.objectClass();
    bool secretPart = false;
    if (cls == CKO_PRIVATE_KEY)
        secretPart = among(type, {CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2,
                                  CKA_EXPONENT_1, CKA_EXPONENT_2, CKA_COEFFICIENT, CKA_VALUE});
    else if (cls == CKO_SECRET_KEY)
        secretPart = type == CKA_VALUE;
    return secretPart && (obj.flag(CKA_SENSITIVE) || !obj.flag(CKA_EXTRACTABLE));
}

void inheritHistory(Object& key, const Object* base) {
    bool alwaysSensitive = key.flag(CKA_SENSITIVE);
    bool neverExtractable = !key.flag(CKA_EXTRACTABLE);
    if (base) {
        alwaysSensitive = alwaysSensitive && base->flag(CKA_ALWAYS_SENSITIVE);
        neverExtractable = neverExtractable && base->flag(CKA_NEVER_EXTRACTABLE);
    } else {
        alwaysSensitive = neverExtractable = false;
    }
    key.setFlag(CKA_ALWAYS_SENSITIVE, alwaysSensitive);
    key.setFlag(CKA_NEVER_EXTRACTABLE, neverExtractable);
}

}  // namespace dravenholt::sim
