// Encryption and decryption: one active operation of each kind per session. Every step runs
// on a copy of the operation, which replaces it only when the output was delivered.
#include "crypto/crypto.h"
#include "handlers.h"

namespace dravenholt::sim {
namespace {

enum class Step { Single, Update, Final };

std::unique_ptr<CipherOp>& slot(Session& s, bool encrypting) { return encrypting ? s.encrypt : s.decrypt; }

Rv init(Device& d, Session& s, const Request& req, bool encrypting) {
    std::unique_ptr<CipherOp>& op = slot(s, encrypting);
    if (op) return CKR_OPERATION_ACTIVE;
    if (!req.mechanism) return CKR_MECHANISM_INVALID;
    StoredObject* key;
    if (Rv rv = d.visible(req.handle, key, CKR_KEY_HANDLE_INVALID); rv != CKR_OK) return rv;
    return makeCipher(*req.mechanism, key->object, encrypting,
                      encrypting ? CKA_ENCRYPT : CKA_DECRYPT, op);
}

Rv step(Session& s, const Request& req, Response& resp, bool encrypting, Step kind) {
    std::unique_ptr<CipherOp>& op = slot(s, encrypting);
    if (!op) return CKR_OPERATION_NOT_INITIALIZED;
    std::unique_ptr<CipherOp> trial = op->clone();
    Bytes in = req.data.value_or(Bytes{});
    Bytes out;
    Rv rv = kind == Step::Single ? trial->single(in, out)
            : kind == Step::Update ? trial->update(in, out)
                                   : trial->finish(out);
    if (rv != CKR_OK) {
        op.reset();
        return rv;
    }
    if (deliver(req, resp, std::move(out), rv)) {
        if (kind == Step::Update && rv == CKR_OK)
            op = std::move(trial);
        else
            op.reset();
    }
    return rv;
}

}  // namespace

Rv encryptInit(Device& d, Session& s, const Request& req, Response&) { return init(d, s, req, true); }
Rv decryptInit(Device& d, Session& s, const Request& req, Response&) { return init(d, s, req, false); }

Rv encrypt(Device&, Session& s, const Request& req, Response& resp) {
    return step(s, req, resp, true, Step::Single);
}
Rv decrypt(Device&, Session& s, const Request& req, Response& resp) {
    return step(s, req, resp, false, Step::Single);
}
Rv encryptUpdate(Device&, Session& s, const Request& req, Response& resp) {
    return step(s, req, resp, true, Step::Update);
}
Rv decryptUpdate(Device&, Session& s, const Request& req, Response& resp) {
    return step(s, req, resp, false, Step::Update);
}
Rv encryptFinal(Device&, Session& s, const Request& req, Response& resp) {
    return step(s, req, resp, true, Step::Final);
}
Rv decryptFinal(Device&, Session& s, const Request& req, Response& resp) {
    return step(s, req, resp, false, Step::Final);
}

}  // namespace dravenholt::sim
