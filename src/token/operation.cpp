#include "token/operation.h"

namespace dravenholt {

DeviceCall::DeviceCall(uint32_t function) { request.function = function; }

DeviceCall& DeviceCall::data(const void* bytes, CK_ULONG length) {
    if (!fitsWire(length)) refuse(CKR_DATA_LEN_RANGE);
    spans_[0] = ByteSpan{static_cast<uint8_t*>(const_cast<void*>(bytes)), static_cast<uint32_t>(length)};
    setEncode(request.data, encodeBytes, &spans_[0]);
    return *this;
}

DeviceCall& DeviceCall::data2(const void* bytes, CK_ULONG length) {
    if (!fitsWire(length)) refuse(CKR_DATA_LEN_RANGE);
    spans_[1] = ByteSpan{static_cast<uint8_t*>(const_cast<void*>(bytes)), static_cast<uint32_t>(length)};
    setEncode(request.data2, encodeBytes, &spans_[1]);
    return *this;
}

DeviceCall& DeviceCall::handle(CK_ULONG value, CK_RV tooLarge) {
    if (!fitsWire(value)) refuse(tooLarge);
    request.has_handle = true;
    request.handle = static_cast<uint32_t>(value);
    return *this;
}

DeviceCall& DeviceCall::handle2(CK_ULONG value, CK_RV tooLarge) {
    if (!fitsWire(value)) refuse(tooLarge);
    request.has_handle2 = true;
    request.handle2 = static_cast<uint32_t>(value);
    return *this;
}

DeviceCall& DeviceCall::value(CK_ULONG value, CK_RV tooLarge) {
    if (!fitsWire(value)) refuse(tooLarge);
    request.has_value = true;
    request.value = static_cast<uint32_t>(value);
    return *this;
}

DeviceCall& DeviceCall::length(CK_ULONG value, CK_RV tooLarge) {
    if (!fitsWire(value)) refuse(tooLarge);
    request.has_length = true;
    request.length = static_cast<uint32_t>(value);
    return *this;
}

DeviceCall& DeviceCall::lengthOnly() {
    request.has_lengthOnly = true;
    request.lengthOnly = true;
    return *this;
}

DeviceCall& DeviceCall::attributes(CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    if (CK_RV rv = checkTemplate(tmpl, count); rv != CKR_OK) refuse(rv);
    templates_[0] = Template{tmpl, static_cast<uint32_t>(count)};
    if (count > 0) setEncode(request.template_, encodeTemplate, &templates_[0]);
    return *this;
}

DeviceCall& DeviceCall::attributes2(CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    if (CK_RV rv = checkTemplate(tmpl, count); rv != CKR_OK) refuse(rv);
    templates_[1] = Template{tmpl, static_cast<uint32_t>(count)};
    if (count > 0) setEncode(request.template2, encodeTemplate, &templates_[1]);
    return *this;
}

DeviceCall& DeviceCall::types(CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    // Only the types travel: the records' buffers are outputs and are not looked at.
    if ((count > 0 && !tmpl) || !fitsWire(count)) refuse(CKR_ARGUMENTS_BAD);
    for (CK_ULONG i = 0; i < count && tmpl; ++i)
        if (!fitsWire(tmpl[i].type)) refuse(CKR_ATTRIBUTE_TYPE_INVALID);
    templates_[0] = Template{tmpl, static_cast<uint32_t>(count)};
    if (count > 0) setEncode(request.template_, encodeTypes, &templates_[0]);
    return *this;
}

DeviceCall& DeviceCall::output(void* buffer, CK_ULONG capacity) {
    uint32_t bound = fitsWire(capacity) ? static_cast<uint32_t>(capacity) : 0xFFFFFFFFu;
    spans_[2] = ByteSpan{static_cast<uint8_t*>(buffer), bound};
    setDecode(response.data, decodeOutput, this);
    return *this;
}

// decodeIntoBuffer over the output span, remembering that bytes came.
bool DeviceCall::decodeOutput(pb_istream_t* stream, const pb_field_t* field, void** arg) {
    auto* call = static_cast<DeviceCall*>(*arg);
    if (!call) return false;
    void* span = &call->spans_[2];
    if (!decodeIntoBuffer(stream, field, &span)) return false;
    call->outputReceived_ = true;
    return true;
}

CK_RV DeviceCall::runReporting(CContext& context, CK_ULONG_PTR pulLength, bool withField4) {
    CK_RV rv = run(context);
    if (!pulLength) return rv;
    const ByteSpan& out = spans_[2];
    if (withField4 && response.has_length) {
        uint32_t written = outputReceived_ ? out.length : 0;
        if (rv == CKR_OK && out.data && response.length > written) {
            context.log(kError, "reply announces %u output bytes but carries %u", response.length, written);
            return response.rv = CKR_FUNCTION_FAILED;
        }
        *pulLength = response.length;
    } else if (outputReceived_) {
        *pulLength = out.length;
    } else if (rv == CKR_OK && out.data) {
        // Success with no bytes and no length is empty output; the capacity left standing would
        // pass off the untouched buffer as output.
        *pulLength = 0;
    }
    return rv;
}

CK_RV DeviceCall::run(CContext& context) {
    if (pending_ != CKR_OK) return response.rv = static_cast<uint32_t>(pending_);
    // A response whose fields are read through callbacks must not be reset before decoding.
    bool callbacks = response.data.funcs.decode || response.attributes.funcs.decode;
    return context.callDevice(port, request, response, !callbacks);
}

CK_RV Entry::pieces(CK_SESSION_HANDLE handle, uint32_t function, const CK_BYTE* data, CK_ULONG length) {
    return locked([&] {
        CK_RV rv = CKR_OK;
        CK_ULONG sent = 0;
        do {
            CK_ULONG piece = length - sent < kUpdatePiece ? length - sent : kUpdatePiece;
            rv = inSession(handle, function, [&](DeviceCall& call) {
                call.data(data ? data + sent : nullptr, piece);
                return call.run(context_);
            });
            sent += piece;
        } while (rv == CKR_OK && sent < length);
        return rv;
    });
}

Entry::Entry(CContext& context, const char* name)
    : context_(context), rv_(context.initialized ? CKR_OK : CKR_CRYPTOKI_NOT_INITIALIZED) {
    if (name) context.log(kTrace, "%s", name);
}

}  // namespace dravenholt
