// A small token for the virtual HID devices: it decodes each request and answers the calls the
// end-to-end tests make. Runs on the device's thread.
#pragma once

#include <atomic>
#include <string>

#include "codec/codec.h"
#include "frame/pkcs11.h"
#include "protocol/function_ids.h"
#include "vhid/vhid.h"

namespace hidtest {

class ScriptedToken {
public:
    explicit ScriptedToken(std::string pin, uint32_t firstHandle = 1) : pin_(std::move(pin)), next_(firstHandle) {}

    dravenholt::vhid::Bytes operator()(const dravenholt::vhid::Bytes& raw) {
        using namespace dravenholt;
        wire::Request request;
        wire::Response response;
        if (!wire::decodeRequest(raw.data(), raw.size(), request)) {
            response.rv = CKR_DEVICE_ERROR;
        } else {
            answer(request, response);
        }
        wire::Bytes out;
        wire::encodeResponse(response, out);
        return out;
    }

private:
    void answer(const dravenholt::wire::Request& request, dravenholt::wire::Response& response) {
        namespace fn = dravenholt::fn;
        switch (request.function) {
        case fn::OpenSession:
            response.handle = next_++;
            break;
        case fn::Login:
            response.rv = request.data && std::string(request.data->begin(), request.data->end()) == pin_
                              ? CKR_OK
                              : CKR_PIN_INCORRECT;
            break;
        case fn::GetSessionInfo:
            // The device error field echoes the session, so a caller can tell its own reply.
            response.sessionInfo = SessionInfoMsg{CKS_RO_USER_FUNCTIONS, CKF_SERIAL_SESSION, request.session.value_or(0)};
            break;
        default:
            response.rv = CKR_OK;
        }
    }

    std::string pin_;
    uint32_t next_;
};

}  // namespace hidtest
