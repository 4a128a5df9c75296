#include "protocol/request_encoder.h"

#include <pb_common.h>

#include <array>

namespace dravenholt {
namespace {

bool number(pb_ostream_t* s, uint32_t tag, uint64_t value) {
    return pb_encode_tag(s, PB_WT_VARINT, tag) && pb_encode_varint(s, value);
}

bool optional(pb_ostream_t* s, bool present, uint32_t tag, uint64_t value) {
    return !present || number(s, tag, value);
}

bool submessage(pb_ostream_t* s, bool present, uint32_t tag, const pb_msgdesc_t* fields, const void* message) {
    return !present || (pb_encode_tag(s, PB_WT_STRING, tag) && pb_encode_submessage(s, fields, message));
}

// The descriptors of the request's fields as pb_encode hands them to a callback, found once:
// the library's encode callbacks read only a descriptor's tag and type, which are the schema's,
// so the descriptors can point at a message of their own rather than at the request at hand.
const pb_field_iter_t* fieldDescriptor(uint32_t tag) {
    static const auto descriptors = [] {
        static FunctionRequest shape = FunctionRequest_init_zero;
        std::array<pb_field_iter_t, FunctionRequest_config_tag + 1> found{};
        pb_field_iter_t iter;
        if (pb_field_iter_begin(&iter, FunctionRequest_fields, &shape)) {
            do {
                if (iter.tag < found.size()) found[iter.tag] = iter;
            } while (pb_field_iter_next(&iter));
        }
        return found;
    }();
    return tag < descriptors.size() && descriptors[tag].tag == tag ? &descriptors[tag] : nullptr;
}

bool callback(pb_ostream_t* s, const pb_callback_t& field, uint32_t tag) {
    if (!field.funcs.encode) return true;
    const pb_field_iter_t* descriptor = fieldDescriptor(tag);
    if (!descriptor) {
        s->errmsg = s->errmsg ? s->errmsg : "no such field";
        return false;
    }
    if (field.funcs.encode(s, descriptor, &field.arg)) return true;
    s->errmsg = s->errmsg ? s->errmsg : "callback error";
    return false;
}

}  // namespace

// In field number order, as pb_encode writes them.
bool encodeRequest(pb_ostream_t* s, const FunctionRequest& r) {
    return number(s, FunctionRequest_function_tag, r.function) &&
           optional(s, r.has_session, FunctionRequest_session_tag, r.session) &&
           submessage(s, r.has_mechanism, FunctionRequest_mechanism_tag, MechanismMsg_fields, &r.mechanism) &&
           callback(s, r.data, FunctionRequest_data_tag) &&
           callback(s, r.template_, FunctionRequest_template__tag) &&
           optional(s, r.has_handle, FunctionRequest_handle_tag, r.handle) &&
           optional(s, r.has_lengthOnly, FunctionRequest_lengthOnly_tag, r.lengthOnly ? 1 : 0) &&
           optional(s, r.has_value, FunctionRequest_value_tag, r.value) &&
           callback(s, r.template2, FunctionRequest_template2_tag) &&
           callback(s, r.data2, FunctionRequest_data2_tag) &&
           optional(s, r.has_length, FunctionRequest_length_tag, r.length) &&
           optional(s, r.has_handle2, FunctionRequest_handle2_tag, r.handle2) &&
           submessage(s, r.has_config, FunctionRequest_config_tag, TokenConfigMsg_fields, &r.config);
}

}  // namespace dravenholt
