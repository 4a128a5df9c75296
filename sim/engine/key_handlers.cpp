// Key generation, wrapping, unwrapping and derivation.
#include "attribute_rules.h"
#include "crypto/crypto.h"
#include "handlers.h"

namespace dravenholt::sim {
namespace {

// Secret-key generation mechanisms and the key type each makes.
struct KeyGen {
    uint32_t mechanism;
    uint32_t keyType;
};
constexpr KeyGen kKeyGens[] = {
    {CKM_AES_KEY_GEN, CKK_AES},   {CKM_DES_KEY_GEN, CKK_DES},
    {CKM_DES2_KEY_GEN, CKK_DES2}, {CKM_DES3_KEY_GEN, CKK_DES3},
    {CKM_GENERIC_SECRET_KEY_GEN, CKK_GENERIC_SECRET},
};

// Puts class and key type into a template, refusing a template that says otherwise.
Rv impose(Object& o, uint32_t cls, uint32_t keyType) {
    if (o.has(CKA_CLASS) && o.objectClass() != cls) return CKR_TEMPLATE_INCONSISTENT;
    if (keyType != kUnavailable) {
        if (o.has(CKA_KEY_TYPE) && o.keyType() != keyType) return CKR_TEMPLATE_INCONSISTENT;
        o.setNumber(CKA_KEY_TYPE, keyType);
    }
    o.setNumber(CKA_CLASS, cls);
    return CKR_OK;
}

Rv store(Device& d, Session& s, Object o, Response& resp) {
    uint32_t handle = 0;
    Rv rv = d.addObject(s, std::move(o), handle);
    if (rv == CKR_OK) resp.handle = handle;
    return rv;
}

// Checks that a session may make an object from this template before any work is done.
Rv precheck(Device& d, Session& s, const Object& o) { return d.mayWrite(s, o); }

// Domain parameters are made by C_GenerateKey too.
Rv generateDomainParameters(Device& d, Session& s, const Request& req, Response& resp, uint32_t keyType) {
    Object params;
    if (Rv rv = readTemplate(req.templ, params); rv != CKR_OK) return rv;
    if (Rv rv = impose(params, CKO_DOMAIN_PARAMETERS, keyType); rv != CKR_OK) return rv;
    if (Rv rv = completeObject(params, Origin::Generated); rv != CKR_OK) return rv;
    if (Rv rv = precheck(d, s, params); rv != CKR_OK) return rv;
    if (Rv rv = generateParameters(req.mechanism->mechanism, params); rv != CKR_OK) return rv;
    return store(d, s, std::move(params), resp);
}

}  // namespace

Rv generateKey(Device& d, Session& s, const Request& req, Response& resp) {
    if (!req.mechanism) return CKR_MECHANISM_INVALID;
    if (req.mechanism->mechanism == CKM_DH_PKCS_PARAMETER_GEN) return generateDomainParameters(d, s, req, resp, CKK_DH);
    if (req.mechanism->mechanism == CKM_DSA_PARAMETER_GEN) return generateDomainParameters(d, s, req, resp, CKK_DSA);
    const KeyGen* gen = nullptr;
    for (const KeyGen& g : kKeyGens)
        if (g.mechanism == req.mechanism->mechanism) gen = &g;
    if (!gen) return CKR_MECHANISM_INVALID;
    Object key;
    if (Rv rv = readTemplate(req.templ, key); rv != CKR_OK) return rv;
    if (Rv rv = impose(key, CKO_SECRET_KEY, gen->keyType); rv != CKR_OK) return rv;
    if (Rv rv = completeObject(key, Origin::Generated, gen->mechanism); rv != CKR_OK) return rv;
    if (Rv rv = precheck(d, s, key); rv != CKR_OK) return rv;
    if (Rv rv = generateSecret(d.random, gen->mechanism, key); rv != CKR_OK) return rv;
    return store(d, s, std::move(key), resp);
}

Rv generateKeyPair(Device& d, Session& s, const Request& req, Response& resp) {
    if (!req.mechanism) return CKR_MECHANISM_INVALID;
    uint32_t keyType;
    switch (req.mechanism->mechanism) {
    case CKM_RSA_PKCS_KEY_PAIR_GEN: keyType = CKK_RSA; break;
    case CKM_EC_KEY_PAIR_GEN: keyType = CKK_EC; break;
    case CKM_DH_PKCS_KEY_PAIR_GEN: keyType = CKK_DH; break;
    case CKM_DSA_KEY_PAIR_GEN: keyType = CKK_DSA; break;
    default: return CKR_MECHANISM_INVALID;
    }
    Object pub, priv;
    if (Rv rv = readTemplate(req.templ, pub); rv != CKR_OK) return rv;
    if (Rv rv = readTemplate(req.templ2, priv); rv != CKR_OK) return rv;
    if (Rv rv = impose(pub, CKO_PUBLIC_KEY, keyType); rv != CKR_OK) return rv;
    if (Rv rv = impose(priv, CKO_PRIVATE_KEY, keyType); rv != CKR_OK) return rv;
    uint32_t mech = req.mechanism->mechanism;
    if (Rv rv = completeObject(pub, Origin::Generated, mech); rv != CKR_OK) return rv;
    if (Rv rv = completeObject(priv, Origin::Generated, mech); rv != CKR_OK) return rv;
    if (Rv rv = precheck(d, s, pub); rv != CKR_OK) return rv;
    if (Rv rv = precheck(d, s, priv); rv != CKR_OK) return rv;
    if (Rv rv = generatePair(*req.mechanism, pub, priv); rv != CKR_OK) return rv;
    std::vector<Object> pair;
    pair.push_back(std::move(pub));
    pair.push_back(std::move(priv));
    std::vector<uint32_t> handles;
    if (Rv rv = d.addObjects(s, std::move(pair), handles); rv != CKR_OK) return rv;
    resp.handle = handles[0];
    resp.handle2 = handles[1];
    return CKR_OK;
}

Rv wrapKey(Device& d, Session&, const Request& req, Response& resp) {
    if (!req.mechanism) return CKR_MECHANISM_INVALID;
    StoredObject* wrapping;
    StoredObject* key;
    if (Rv rv = d.visible(req.handle2, wrapping, CKR_WRAPPING_KEY_HANDLE_INVALID); rv != CKR_OK) return rv;
    if (Rv rv = d.visible(req.handle, key, CKR_KEY_HANDLE_INVALID); rv != CKR_OK) return rv;
    const Object& w = wrapping->object;
    const Object& k = key->object;
    if (!k.flag(CKA_EXTRACTABLE)) return CKR_KEY_UNEXTRACTABLE;
    if (k.flag(CKA_WRAP_WITH_TRUSTED) && !w.flag(CKA_TRUSTED)) return CKR_KEY_NOT_WRAPPABLE;
    Bytes plain;
    if (Rv rv = exportKey(k, plain); rv != CKR_OK) return rv;
    std::unique_ptr<CipherOp> op;
    Rv rv = makeCipher(*req.mechanism, w, true, CKA_WRAP, op);
    if (rv != CKR_OK) return rv == CKR_KEY_TYPE_INCONSISTENT ? CKR_WRAPPING_KEY_TYPE_INCONSISTENT : rv;
    Bytes wrapped;
    rv = op->single(plain, wrapped);
    wipe(plain);
    if (rv == CKR_DATA_LEN_RANGE) return CKR_KEY_SIZE_RANGE;
    if (rv != CKR_OK) return rv;
    // A request without the length-only flag and without a capacity asks for the length too.
    Request asked = req;
    if (!asked.length) asked.lengthOnly = true;
    deliver(asked, resp, std::move(wrapped), rv);
    return rv;
}

Rv unwrapKey(Device& d, Session& s, const Request& req, Response& resp) {
    if (!req.mechanism) return CKR_MECHANISM_INVALID;
    if (!req.data) return CKR_WRAPPED_KEY_INVALID;
    StoredObject* unwrapping;
    if (Rv rv = d.visible(req.handle, unwrapping, CKR_UNWRAPPING_KEY_HANDLE_INVALID); rv != CKR_OK) return rv;
    const Object& u = unwrapping->object;
    Object key;
    if (Rv rv = readTemplate(req.templ, key); rv != CKR_OK) return rv;
    if (Rv rv = completeObject(key, Origin::Unwrapped); rv != CKR_OK) return rv;
    if (!key.isKey() || key.objectClass() == CKO_PUBLIC_KEY) return CKR_TEMPLATE_INCONSISTENT;
    if (Rv rv = precheck(d, s, key); rv != CKR_OK) return rv;
    std::unique_ptr<CipherOp> op;
    Rv rv = makeCipher(*req.mechanism, u, false, CKA_UNWRAP, op);
    if (rv != CKR_OK) return rv == CKR_KEY_TYPE_INCONSISTENT ? CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT : rv;
    Bytes plain;
    rv = op->single(*req.data, plain);
    if (rv == CKR_ENCRYPTED_DATA_LEN_RANGE) return CKR_WRAPPED_KEY_LEN_RANGE;
    if (rv != CKR_OK) return CKR_WRAPPED_KEY_INVALID;
    rv = importKey(plain, key);
    wipe(plain);
    if (rv != CKR_OK) return rv;
    inheritHistory(key, nullptr);
    return store(d, s, std::move(key), resp);
}

Rv deriveKey(Device& d, Session& s, const Request& req, Response& resp) {
    if (!req.mechanism) return CKR_MECHANISM_INVALID;
    StoredObject* base;
    if (Rv rv = d.visible(req.handle, base, CKR_KEY_HANDLE_INVALID); rv != CKR_OK) return rv;
    if (!base->object.flag(CKA_DERIVE)) return CKR_KEY_FUNCTION_NOT_PERMITTED;
    Object key;
    if (Rv rv = readTemplate(req.templ, key); rv != CKR_OK) return rv;
    if (Rv rv = impose(key, CKO_SECRET_KEY, kUnavailable); rv != CKR_OK) return rv;
    if (!key.has(CKA_KEY_TYPE)) key.setNumber(CKA_KEY_TYPE, CKK_GENERIC_SECRET);
    if (Rv rv = completeObject(key, Origin::Derived); rv != CKR_OK) return rv;
    if (Rv rv = precheck(d, s, key); rv != CKR_OK) return rv;
    if (Rv rv = deriveSecret(*req.mechanism, base->object, key); rv != CKR_OK) return rv;
    inheritHistory(key, &base->object);
    return store(d, s, std::move(key), resp);
}

}  // namespace dravenholt::sim
