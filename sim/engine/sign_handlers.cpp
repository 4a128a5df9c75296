// Signing and verification, single- and multi-part.
#include "crypto/crypto.h"
#include "handlers.h"

namespace dravenholt::sim {
namespace {

Rv init(Device& d, Session& s, const Request& req, bool signing) {
    std::unique_ptr<SignOp>& op = signing ? s.sign : s.verify;
    if (op) return CKR_OPERATION_ACTIVE;
    if (!req.mechanism) return CKR_MECHANISM_INVALID;
    StoredObject* key;
    if (Rv rv = d.visible(req.handle, key, CKR_KEY_HANDLE_INVALID); rv != CKR_OK) return rv;
    Rv rv = makeSigner(*req.mechanism, key->object, signing, op);
    if (rv == CKR_OK && signing) s.contextLoginPending = key->object.flag(CKA_ALWAYS_AUTHENTICATE);
    return rv;
}

// Produces the signature of the active operation, which ends unless the caller only asked
// for the length or gave too small a buffer.
Rv finishSignature(Session& s, const Request& req, Response& resp, const Bytes* data) {
    if (!s.sign) return CKR_OPERATION_NOT_INITIALIZED;
    if (s.contextLoginPending) return CKR_USER_NOT_LOGGED_IN;
    Rv rv;
    Bytes placeholder(s.sign->signatureLength());
    if (!deliver(req, resp, std::move(placeholder), rv)) return rv;
    resp.data.reset();
    std::unique_ptr<SignOp> op = std::move(s.sign);
    if (data && (rv = op->update(*data)) != CKR_OK) return rv;
    Bytes signature;
    if ((rv = op->sign(signature)) != CKR_OK) return rv;
    deliver(req, resp, std::move(signature), rv);
    return rv;
}

Rv finishVerify(Session& s, const Bytes* data, const Bytes& signature) {
    if (!s.verify) return CKR_OPERATION_NOT_INITIALIZED;
    std::unique_ptr<SignOp> op = std::move(s.verify);
    if (data) {
        if (Rv rv = op->update(*data); rv != CKR_OK) return rv;
    }
    return op->verify(signature);
}

Rv update(std::unique_ptr<SignOp>& op, const Request& req) {
    if (!op) return CKR_OPERATION_NOT_INITIALIZED;
    Rv rv = op->update(req.data.value_or(Bytes{}));
    if (rv != CKR_OK) op.reset();
    return rv;
}

}  // namespace

Rv signInit(Device& d, Session& s, const Request& req, Response&) { return init(d, s, req, true); }
Rv verifyInit(Device& d, Session& s, const Request& req, Response&) { return init(d, s, req, false); }

Rv sign(Device&, Session& s, const Request& req, Response& resp) {
    Bytes data = req.data.value_or(Bytes{});
    return finishSignature(s, req, resp, &data);
}

Rv signUpdate(Device&, Session& s, const Request& req, Response&) { return update(s.sign, req); }

Rv signFinal(Device&, Session& s, const Request& req, Response& resp) {
    return finishSignature(s, req, resp, nullptr);
}

Rv verify(Device&, Session& s, const Request& req, Response&) {
    Bytes data = req.data.value_or(Bytes{});
    return finishVerify(s, &data, req.data2.value_or(Bytes{}));
}

Rv verifyUpdate(Device&, Session& s, const Request& req, Response&) { return update(s.verify, req); }

Rv verifyFinal(Device&, Session& s, const Request& req, Response&) {
    return finishVerify(s, nullptr, req.data.value_or(Bytes{}));
}

}  // namespace dravenholt::sim
