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
        case fn::SignInit:
            signingKey_ = request.handle.value_or(0);
            break;
        case fn::Sign:
            response.data = signature(request.data.value_or(dravenholt::wire::Bytes{}), signingKey_);
            response.length = static_cast<uint32_t>(response.data->size());
            break;
        case fn::GetSessionInfo:
            // The device error field echoes the session, so a caller can tell its own reply.
            response.sessionInfo = SessionInfoMsg{CKS_RO_USER_FUNCTIONS, CKF_SERIAL_SESSION, request.session.value_or(0)};
            break;
        default:
            response.rv = CKR_OK;
        }
    }

public:
    // Stands in for a 2048-bit signature: 256 bytes that depend on every data byte and the key.
    static dravenholt::wire::Bytes signature(const dravenholt::wire::Bytes& data, uint32_t key) {
        dravenholt::wire::Bytes out(256);
        for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i ^ key);
        for (size_t i = 0; i < data.size(); ++i) out[i % out.size()] ^= static_cast<uint8_t>(data[i] + i);
        return out;
    }

private:
    std::string pin_;
    uint32_t next_;
    uint32_t signingKey_ = 0;
};

}  // namespace hidtest
