#include "support/token_requests.h"

#include <p11-kit/pkcs11.h>

#include <stdexcept>

#include "protocol/function_ids.h"

namespace fuzzreq {

namespace fn = dravenholt::fn;

Request call(uint32_t function, uint32_t session) {
    Request r;
    r.function = function;
    if (session) r.session = session;
    return r;
}

Bytes encoded(const Request& request) {
    Bytes out;
    std::string error;
    if (!dravenholt::wire::encodeRequest(request, out, 2048, &error)) throw std::runtime_error(error);
    return out;
}

std::vector<Request> initialisedToken() {
    std::vector<Request> out;
    Request init = call(fn::InitToken);
    init.data = kSoPin;
    init.data2 = Bytes(32, ' ');
    out.push_back(init);
    Request open = call(fn::OpenSession);
    open.value = CKF_SERIAL_SESSION | CKF_RW_SESSION;
    out.push_back(open);
    Request so = call(fn::Login, 1);
    so.value = CKU_SO;
    so.data = kSoPin;
    out.push_back(so);
    Request initPin = call(fn::InitPIN, 1);
    initPin.data = kUserPin;
    out.push_back(initPin);
    out.push_back(call(fn::Logout, 1));
    Request user = so;
    user.value = CKU_USER;
    user.data = kUserPin;
    out.push_back(user);

    Request data = call(fn::CreateObject, 1);
    data.templ = {number(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, true), bytes(CKA_LABEL, {'d', 'o', 'c'}),
                  bytes(CKA_VALUE, Bytes(40, 0x5A))};
    out.push_back(data);
    Request aes = call(fn::GenerateKey, 1);
    aes.mechanism = dravenholt::wire::Mechanism{CKM_AES_KEY_GEN, {}, {}, {}, {}};
    aes.templ = {number(CKA_VALUE_LEN, 32), flag(CKA_TOKEN, true), flag(CKA_ENCRYPT, true),
                 flag(CKA_DECRYPT, true), flag(CKA_WRAP, true), flag(CKA_UNWRAP, true),
                 flag(CKA_EXTRACTABLE, true)};
    out.push_back(aes);
    static const Bytes kP256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
    Request ec = call(fn::GenerateKeyPair, 1);
    ec.mechanism = dravenholt::wire::Mechanism{CKM_EC_KEY_PAIR_GEN, {}, {}, {}, {}};
    ec.templ = {bytes(CKA_EC_PARAMS, kP256), flag(CKA_TOKEN, true), flag(CKA_VERIFY, true)};
    ec.templ2 = {flag(CKA_TOKEN, true), flag(CKA_SIGN, true), flag(CKA_DERIVE, true),
                 bytes(CKA_LABEL, {'b', 't', 'c'}), bytes(CKA_ID, {'b', 't', 'c'})};
    out.push_back(ec);
    return out;
}

}  // namespace fuzzreq
