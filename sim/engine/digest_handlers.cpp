// Digesting, including the value of a secret key.
#include "crypto/crypto.h"
#include "handlers.h"

namespace dravenholt::sim {

Rv digestInit(Device&, Session& s, const Request& req, Response&) {
    if (s.digest) return CKR_OPERATION_ACTIVE;
    if (!req.mechanism) return CKR_MECHANISM_INVALID;
    return makeDigest(*req.mechanism, s.digest);
}

Rv digestUpdate(Device&, Session& s, const Request& req, Response&) {
    if (!s.digest) return CKR_OPERATION_NOT_INITIALIZED;
    Rv rv = s.digest->update(req.data.value_or(Bytes{}));
    if (rv != CKR_OK) s.digest.reset();
    return rv;
}

Rv digestKey(Device& d, Session& s, const Request& req, Response&) {
    if (!s.digest) return CKR_OPERATION_NOT_INITIALIZED;
    StoredObject* key;
    if (Rv rv = d.visible(req.handle, key, CKR_KEY_HANDLE_INVALID); rv != CKR_OK) return rv;
    if (key->object.objectClass() != CKO_SECRET_KEY) return CKR_KEY_INDIGESTIBLE;
    Rv rv = s.digest->update(key->object.bytes(CKA_VALUE));
    if (rv != CKR_OK) s.digest.reset();
    return rv;
}

Rv digestFinal(Device&, Session& s, const Request& req, Response& resp) {
    if (!s.digest) return CKR_OPERATION_NOT_INITIALIZED;
    Rv rv;
    if (!deliver(req, resp, Bytes(s.digest->digestLength()), rv)) return rv;
    std::unique_ptr<DigestOp> op = std::move(s.digest);
    Bytes digest;
    if ((rv = op->finish(digest)) != CKR_OK) return rv;
    deliver(req, resp, std::move(digest), rv);
    return rv;
}

}  // namespace dravenholt::sim
