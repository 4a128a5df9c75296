#include "token/operation.h"

#include <utility>

#include "protocol/declared_fields.h"
#include "token/attributes.h"

namespace dravenholt {

DeviceCall::DeviceCall(uint32_t function, int32_t to) : port(to) { request.function = function; }

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

DeviceCall& DeviceCall::attributes(const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    if (CK_RV rv = checkTemplate(tmpl, count); rv != CKR_OK) refuse(rv);
    templates_[0] = Template{tmpl, static_cast<uint32_t>(count)};
    if (count > 0) setEncode(request.template_, encodeTemplate, &templates_[0]);
    return *this;
}

DeviceCall& DeviceCall::attributes2(const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    if (CK_RV rv = checkTemplate(tmpl, count); rv != CKR_OK) refuse(rv);
    templates_[1] = Template{tmpl, static_cast<uint32_t>(count)};
    if (count > 0) setEncode(request.template2, encodeTemplate, &templates_[1]);
    return *this;
}

DeviceCall& DeviceCall::types(const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    // Only the types travel: the records' buffers are outputs and are not looked at.
    if ((count > 0 && !tmpl) || !fitsWire(count)) refuse(CKR_ARGUMENTS_BAD);
    for (CK_ULONG i = 0; i < count && tmpl; ++i)
        if (!fitsWire(tmpl[i].type)) refuse(CKR_ATTRIBUTE_TYPE_INVALID);
    templates_[0] = Template{tmpl, static_cast<uint32_t>(count)};
    if (count > 0) setEncode(request.template_, encodeTypes, &templates_[0]);
    return *this;
}

DeviceCall& DeviceCall::attributeResults(AttributeTable& table) {
    table_ = &table;
    setDecode(response.attributes, decodeAttribute, &table);
    return *this;
}

DeviceCall& DeviceCall::output(void* buffer, CK_ULONG capacity) {
    uint32_t bound = fitsWire(capacity) ? static_cast<uint32_t>(capacity) : 0xFFFFFFFFu;
    spans_[2] = ByteSpan{static_cast<uint8_t*>(buffer), bound};
    requestedOutput_ = bound;
    setDecode(response.data, decodeOutput, this);
    return *this;
}

DeviceCall& DeviceCall::callerOutput(void* buffer, const CK_ULONG* pulLength) {
    callerOutput_ = true;
    if (!buffer) {
        lengthQuery_ = true;
        return lengthOnly();
    }
    return length(*pulLength).output(buffer, *pulLength);
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

CK_RV DeviceCall::runReporting(Context& context, CK_ULONG_PTR pulLength, bool withField4) {
    return report(context, run(context), pulLength, withField4);
}

CK_RV DeviceCall::runForHandle(Context& context, CK_ULONG* handle) {
    CK_RV rv = needs(kNeedsHandle).run(context);
    if (rv == CKR_OK) *handle = response.handle;
    return rv;
}

CK_RV DeviceCall::runOutput(Context& context, CK_ULONG_PTR pulLength) {
    return report(context, run(context), pulLength, true);
}

CK_RV DeviceCall::report(Context& context, CK_RV rv, CK_ULONG_PTR pulLength, bool withField4) {
    if (!pulLength || flaw()) return rv;  // a reply not believed reports no length
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

bool DeviceCall::lacks(unsigned fields) const {
    const FunctionResponse& r = response;
    return ((fields & kNeedsHandle) && !r.has_handle) || ((fields & kNeedsHandle2) && !r.has_handle2) ||
           ((fields & kNeedsSessionInfo) && !r.has_sessionInfo) || ((fields & kNeedsTokenInfo) && !r.has_tokenInfo) ||
           ((fields & kNeedsFullOutput) && (!outputReceived_ || spans_[2].length != requestedOutput_));
}

const char* DeviceCall::flaw() const {
    CK_RV rv = response.rv;
    if (rv == CKR_OK && lacks(needs_)) return "success reply without its result";
    if (callerOutput_ && ((rv == CKR_OK && lengthQuery_) || rv == CKR_BUFFER_TOO_SMALL) && !response.has_length)
        return "reply without the output length";
    if (!answersEveryType()) return "reply without a value for every attribute type asked";
    return nullptr;
}

bool DeviceCall::answersEveryType() const {
    if (!table_ || !processedAll(response.rv)) return true;
    const Template& asked = templates_[0];
    for (uint32_t i = 0; i < asked.count; ++i)
        if (findAttribute(table_, static_cast<uint32_t>(asked.attributes[i].type)) < 0) return false;
    return true;
}

void DeviceCall::restart() {
    spans_[2].length = requestedOutput_;
    outputReceived_ = false;
    if (table_) table_->clear();
}

CK_RV DeviceCall::run(Context& context) {
#ifndef NDEBUG
    // The reply fields this call reads besides those its callbacks take (device_call.cpp).
    constexpr std::pair<unsigned, FieldSet> kReads[] = {{kNeedsHandle, received::Handle},
                                                        {kNeedsHandle2, received::Handle2},
                                                        {kNeedsSessionInfo, received::SessionInfo},
                                                        {kNeedsTokenInfo, received::TokenInfo}};
    FieldSet reads = callerOutput_ ? FieldSet{received::Length} : FieldSet{0};
    for (auto [need, field] : kReads)
        if (needs_ & need) reads |= field;
    expectDeclared(request.function, reads, false);
#endif
    if (pending_ != CKR_OK) return response.rv = static_cast<uint32_t>(pending_);
    // A response whose fields are read through callbacks must not be reset before decoding.
    bool callbacks = response.data.funcs.decode || response.attributes.funcs.decode;
    CK_RV rv = context.callDevice(port, request, response, !callbacks, this);
    if (const char* why = flaw()) {
        context.logMessage(kError, why);
        return response.rv = CKR_DEVICE_ERROR;
    }
    return rv;
}

CK_RV Entry::pieces(CK_SESSION_HANDLE handle, uint32_t function, const CK_BYTE* data, CK_ULONG length) {
    return locked([&] {
        CK_RV rv = CKR_OK;
        forPieces(length, kUpdatePiece, [&](CK_ULONG offset, CK_ULONG count) {
            rv = inSession(handle, function, [&](DeviceCall& call) {
                return call.data(data ? data + offset : nullptr, count).run(context_);
            });
            return rv == CKR_OK;
        });
        return rv;
    });
}

Entry::Entry(Context& context, const char* name)
    : context_(context), rv_(context.initialized() ? CKR_OK : CKR_CRYPTOKI_NOT_INITIALIZED) {
    if (name) context.log(kTrace, "%s", name);
}

}  // namespace dravenholt
