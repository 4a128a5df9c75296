// The device call: encode the request, transmit it under the device lock, decode the reply.
#include <mbedtls/platform_util.h>

#include <cstring>
#include <functional>

#include "frame/context.h"
#include "protocol/callbacks.h"
#include "protocol/declared_fields.h"
#include "protocol/function_ids.h"
#include "protocol/request_encoder.h"
#include "protocol/response_decoder.h"

namespace dravenholt {
namespace {

// Every field at its default before the reply is decoded into it; the field callbacks stay
// unless `callbacksToo`. A plain assignment costs a fraction of the decoder's own field by
// field initialisation, which walks every nested message.
void clearResponse(FunctionResponse& response, bool callbacksToo) {
    pb_callback_t data = response.data, attributes = response.attributes;
    response = FunctionResponse_init_zero;
    if (callbacksToo) return;
    response.data = data;
    response.attributes = attributes;
}

// Requests that carry a PIN or a private key: their encoded bytes do not outlive the sending.
bool carriesSecret(uint32_t function) {
    switch (function) {
        case fn::Login:
        case fn::InitPIN:
        case fn::SetPIN:
        case fn::InitToken:
        case fn::ImportBitcoinKey: return true;
        default: return false;
    }
}
}  // namespace

CK_RV Context::callDevice(int32_t port, FunctionRequest& request, FunctionResponse& response,
                          bool resetResponse, ReplyCheck* check) {
#ifndef NDEBUG
    // The reply fields read through callbacks are set before the call.
    dravenholt::expectDeclared(request.function, dravenholt::carriedFields(FunctionRequest_fields, &request), true);
    dravenholt::expectDeclared(request.function, dravenholt::carriedFields(FunctionResponse_fields, &response), false);
#endif
    // One byte beyond the limit lets a longer reply show itself: it is refused whole, never
    // decoded from its first kMessageLimit bytes (which may read as another, shorter reply).
    // Only the bytes encoded or received are ever read.
    uint8_t buffer[kMessageLimit + 1];
    pb_ostream_t out = pb_ostream_from_buffer(buffer, kMessageLimit);
    bool secret = carriesSecret(request.function);
    if (!encodeRequest(&out, request) || out.bytes_written == 0) {
        if (secret) mbedtls_platform_zeroize(buffer, out.bytes_written);
        if (out.errmsg) {
            logMessage(kError, out.errmsg);
            response.rv = std::strcmp(out.errmsg, "stream full") == 0 ? CKR_DATA_LEN_RANGE : CKR_FUNCTION_FAILED;
        } else {
            logMessage(kError, "function encoding failed");
            response.rv = CKR_FUNCTION_FAILED;
        }
        return response.rv;
    }
    // Each decoding starts afresh from the first byte: what arrived so far is the whole reply
    // when it decodes and the call finds in it all that its return value promises.
    bool decoded = false;
    const char* error = nullptr;
    auto whole = [&](size_t received) {
        clearResponse(response, resetResponse);
        if (check) check->restart();
        decoded = decodeResponse(buffer, received, response, error);
        return decoded && (!check || check->whole());
    };
    size_t n = transmit(port, buffer, sizeof buffer, out.bytes_written, secret, std::ref(whole));  // 0, or at most kMessageLimit
    if (n == 0) {
        logMessage(kError, "no response from transport.");
        response.rv = CKR_FUNCTION_FAILED;
    } else if (!decoded) {
        logMessage(kError, error ? error : "function decoding failed");
        response.rv = CKR_FUNCTION_FAILED;
    }
    return response.rv;
}

size_t Context::transmit(int32_t portIndex, uint8_t* buffer, size_t capacity, size_t length, bool secret,
                         const std::function<bool(size_t)>& whole) {
    try {
        size_t n = withTransport(portIndex, [&](Transport& transport) {
            if (!transport.isOpen()) transport.open();
            transport.discardStale();
            transport.write(buffer, length);
            if (secret) mbedtls_platform_zeroize(buffer, length);
            size_t received = transport.read(buffer, capacity);
            // The reply may come in pieces: read on while it is short, until the transport has
            // no more (the exchange's deadline passed, or its replies arrive whole).
            for (size_t more = received; more > 0 && received <= kMessageLimit && !whole(received);
                 received += more)
                more = transport.readMore(buffer + received, capacity - received);
            if (received > kMessageLimit) {
                // The rest of such a reply would be read as the next one: the connection goes.
                transport.close();
                throw DeviceError("reply longer than a message may be");
            }
            return received;
        });
        if (n > capacity) throw DeviceError("reply longer than the buffer");
        return n;
    } catch (const std::exception& e) {
        const char* text = e.what();
        logMessage(kError, text && *text ? text : "Failed to transmit command.");
    } catch (...) {
        logMessage(kError, "Failed to transmit command.");
    }
    return 0;
}

}  // namespace dravenholt
