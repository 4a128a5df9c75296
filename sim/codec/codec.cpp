#include "codec/codec.h"

#include <cstring>

#include <pb_decode.h>
#include <pb_encode.h>

namespace dravenholt::wire {
namespace {

// ---- decoding -------------------------------------------------------------------------

bool readBytes(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* target = static_cast<std::optional<Bytes>*>(*arg);
    Bytes bytes(stream->bytes_left);
    if (!bytes.empty() && !pb_read(stream, bytes.data(), bytes.size())) return false;
    *target = std::move(bytes);
    return true;
}

void readInto(pb_callback_t& cb, std::optional<Bytes>& target) {
    cb.funcs.decode = readBytes;
    cb.arg = &target;
}

// Decodes into a message made with its _init_zero initialiser and its callbacks set, which is
// already what nanopb's own initialisation would make of it: that initialisation walks every
// field of every nested message, several times the work of decoding a short request.
bool decodeInto(pb_istream_t* stream, const pb_msgdesc_t* fields, void* msg) {
    return pb_decode_ex(stream, fields, msg, PB_DECODE_NOINIT);
}

bool readAttribute(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* list = static_cast<std::vector<Attribute>*>(*arg);
    Attribute a;
    AttributeMsg msg = AttributeMsg_init_zero;
    readInto(msg.value, a.value);
    if (!decodeInto(stream, AttributeMsg_fields, &msg)) return false;
    a.type = msg.type;
    if (msg.has_length) a.length = msg.length;
    if (msg.has_number) a.number = msg.number;
    if (msg.has_flag) a.flag = msg.flag;
    list->push_back(std::move(a));
    return true;
}

void readInto(pb_callback_t& cb, std::vector<Attribute>& target) {
    cb.funcs.decode = readAttribute;
    cb.arg = &target;
}

bool fail(std::string* error, const char* text) {
    if (error) *error = text ? text : "unknown error";
    return false;
}

// ---- encoding -------------------------------------------------------------------------

bool writeBytes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* bytes = static_cast<const Bytes*>(*arg);
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_string(stream, bytes->data(), bytes->size());
}

void writeFrom(pb_callback_t& cb, const std::optional<Bytes>& source) {
    if (!source) return;
    cb.funcs.encode = writeBytes;
    cb.arg = const_cast<Bytes*>(&*source);
}

bool writeAttributes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* list = static_cast<const std::vector<Attribute>*>(*arg);
    for (const Attribute& a : *list) {
        AttributeMsg msg = AttributeMsg_init_zero;
        msg.type = a.type;
        msg.has_length = a.length.has_value();
        msg.length = a.length.value_or(0);
        writeFrom(msg.value, a.value);
        msg.has_number = a.number.has_value();
        msg.number = a.number.value_or(0);
        msg.has_flag = a.flag.has_value();
        msg.flag = a.flag.value_or(false);
        if (!pb_encode_tag_for_field(stream, field) ||
            !pb_encode_submessage(stream, AttributeMsg_fields, &msg))
            return false;
    }
    return true;
}

void writeFrom(pb_callback_t& cb, const std::vector<Attribute>& source) {
    if (source.empty()) return;
    cb.funcs.encode = writeAttributes;
    cb.arg = const_cast<std::vector<Attribute>*>(&source);
}

template <class T>
void setOptional(bool& has, T& field, const std::optional<T>& value) {
    has = value.has_value();
    if (has) field = *value;
}

template <class T>
void getOptional(bool has, const T& field, std::optional<T>& value) {
    if (has) value = field;
}

bool encodeMessage(const pb_msgdesc_t* fields, const void* msg, Bytes& out, size_t limit,
                   std::string* error) {
    out.assign(limit, 0);
    pb_ostream_t stream = pb_ostream_from_buffer(out.data(), out.size());
    if (!pb_encode(&stream, fields, msg)) {
        out.clear();
        return fail(error, PB_GET_ERROR(&stream));
    }
    out.resize(stream.bytes_written);
    return true;
}

}  // namespace

bool decodeRequest(const uint8_t* data, size_t size, Request& out, std::string* error) {
    out = Request{};
    FunctionRequest msg = FunctionRequest_init_zero;
    std::optional<Bytes> parameter, sourceData, sharedData, publicData;
    readInto(msg.data, out.data);
    readInto(msg.data2, out.data2);
    readInto(msg.template_, out.templ);
    readInto(msg.template2, out.templ2);
    readInto(msg.mechanism.parameter, parameter);
    readInto(msg.mechanism.oaepParams.sourceData, sourceData);
    readInto(msg.mechanism.ecdhParams.sharedData, sharedData);
    readInto(msg.mechanism.ecdhParams.publicData, publicData);
    pb_istream_t stream = pb_istream_from_buffer(data, size);
    if (!decodeInto(&stream, FunctionRequest_fields, &msg)) return fail(error, PB_GET_ERROR(&stream));
    out.function = msg.function;
    getOptional(msg.has_session, msg.session, out.session);
    if (msg.has_mechanism) {
        Mechanism m;
        m.mechanism = msg.mechanism.mechanism;
        getOptional(msg.mechanism.has_parameterLength, msg.mechanism.parameterLength,
                    m.parameterLength);
        m.parameter = std::move(parameter);
        if (msg.mechanism.has_oaepParams) {
            const auto& o = msg.mechanism.oaepParams;
            OaepParams p;
            p.hashAlg = o.hashAlg;
            p.mgf = o.mgf;
            getOptional(o.has_source, o.source, p.source);
            getOptional(o.has_sourceDataLength, o.sourceDataLength, p.sourceDataLength);
            p.sourceData = std::move(sourceData);
            m.oaepParams = std::move(p);
        }
        if (msg.mechanism.has_ecdhParams) {
            EcdhParams p;
            p.kdf = msg.mechanism.ecdhParams.kdf;
            p.sharedData = std::move(sharedData);
            p.publicData = std::move(publicData);
            m.ecdhParams = std::move(p);
        }
        out.mechanism = std::move(m);
    }
    getOptional(msg.has_handle, msg.handle, out.handle);
    getOptional(msg.has_lengthOnly, msg.lengthOnly, out.lengthOnly);
    getOptional(msg.has_value, msg.value, out.value);
    getOptional(msg.has_length, msg.length, out.length);
    getOptional(msg.has_handle2, msg.handle2, out.handle2);
    getOptional(msg.has_config, msg.config, out.config);
    return true;
}

bool encodeRequest(const Request& in, Bytes& out, size_t limit, std::string* error) {
    FunctionRequest msg = FunctionRequest_init_zero;
    msg.function = in.function;
    setOptional(msg.has_session, msg.session, in.session);
    if (in.mechanism) {
        const Mechanism& m = *in.mechanism;
        msg.has_mechanism = true;
        msg.mechanism.mechanism = m.mechanism;
        setOptional(msg.mechanism.has_parameterLength, msg.mechanism.parameterLength,
                    m.parameterLength);
        writeFrom(msg.mechanism.parameter, m.parameter);
        if (m.oaepParams) {
            auto& o = msg.mechanism.oaepParams;
            msg.mechanism.has_oaepParams = true;
            o.hashAlg = m.oaepParams->hashAlg;
            o.mgf = m.oaepParams->mgf;
            setOptional(o.has_source, o.source, m.oaepParams->source);
            setOptional(o.has_sourceDataLength, o.sourceDataLength, m.oaepParams->sourceDataLength);
            writeFrom(o.sourceData, m.oaepParams->sourceData);
        }
        if (m.ecdhParams) {
            auto& e = msg.mechanism.ecdhParams;
            msg.mechanism.has_ecdhParams = true;
            e.kdf = m.ecdhParams->kdf;
            writeFrom(e.sharedData, m.ecdhParams->sharedData);
            writeFrom(e.publicData, m.ecdhParams->publicData);
        }
    }
    writeFrom(msg.data, in.data);
    writeFrom(msg.template_, in.templ);
    setOptional(msg.has_handle, msg.handle, in.handle);
    setOptional(msg.has_lengthOnly, msg.lengthOnly, in.lengthOnly);
    setOptional(msg.has_value, msg.value, in.value);
    writeFrom(msg.template2, in.templ2);
    writeFrom(msg.data2, in.data2);
    setOptional(msg.has_length, msg.length, in.length);
    setOptional(msg.has_handle2, msg.handle2, in.handle2);
    setOptional(msg.has_config, msg.config, in.config);
    return encodeMessage(FunctionRequest_fields, &msg, out, limit, error);
}

bool decodeResponse(const uint8_t* data, size_t size, Response& out, std::string* error) {
    out = Response{};
    FunctionResponse msg = FunctionResponse_init_zero;
    readInto(msg.data, out.data);
    readInto(msg.attributes, out.attributes);
    pb_istream_t stream = pb_istream_from_buffer(data, size);
    if (!decodeInto(&stream, FunctionResponse_fields, &msg)) return fail(error, PB_GET_ERROR(&stream));
    out.rv = msg.rv;
    getOptional(msg.has_handle, msg.handle, out.handle);
    getOptional(msg.has_length, msg.length, out.length);
    getOptional(msg.has_handle2, msg.handle2, out.handle2);
    getOptional(msg.has_sessionInfo, msg.sessionInfo, out.sessionInfo);
    getOptional(msg.has_tokenInfo, msg.tokenInfo, out.tokenInfo);
    getOptional(msg.has_config, msg.config, out.config);
    return true;
}

bool encodeResponse(const Response& in, Bytes& out, size_t limit, std::string* error) {
    FunctionResponse msg = FunctionResponse_init_zero;
    msg.rv = in.rv;
    setOptional(msg.has_handle, msg.handle, in.handle);
    writeFrom(msg.data, in.data);
    setOptional(msg.has_length, msg.length, in.length);
    setOptional(msg.has_handle2, msg.handle2, in.handle2);
    writeFrom(msg.attributes, in.attributes);
    setOptional(msg.has_sessionInfo, msg.sessionInfo, in.sessionInfo);
    setOptional(msg.has_tokenInfo, msg.tokenInfo, in.tokenInfo);
    setOptional(msg.has_config, msg.config, in.config);
    return encodeMessage(FunctionResponse_fields, &msg, out, limit, error);
}

Attribute numberAttribute(uint32_t type, uint32_t value) {
    Attribute a;
    a.type = type;
    a.number = value;
    return a;
}

Attribute flagAttribute(uint32_t type, bool value) {
    Attribute a;
    a.type = type;
    a.flag = value;
    return a;
}

Attribute bytesAttribute(uint32_t type, const Bytes& value) {
    Attribute a;
    a.type = type;
    a.length = static_cast<uint32_t>(value.size());
    if (!value.empty()) a.value = value;
    return a;
}

void setBytesField(pb_byte_t* dest, pb_size_t& size, size_t capacity, const std::string& text) {
    size = static_cast<pb_size_t>(text.size() < capacity ? text.size() : capacity);
    std::memcpy(dest, text.data(), size);
}

}  // namespace dravenholt::wire
