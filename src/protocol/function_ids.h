// The device call protocol's functions, declared once for the library and the simulator: each
// function's name, its number (FunctionRequest field 1), the request fields it may carry and the
// reply fields a caller may read.
#pragma once

#include <pb_common.h>
#include <pb_decode.h>

#include <cstddef>
#include <cstdint>

#include "orvo.pb.h"

namespace dravenholt {

// A set of fields of one message: bit n for field number n.
using FieldSet = uint32_t;
constexpr FieldSet fieldBit(uint32_t number) { return number < 32 ? FieldSet{1} << number : FieldSet{1}; }

// Request fields.
namespace sent {
enum : FieldSet {
    Function = fieldBit(FunctionRequest_function_tag),
    Session = fieldBit(FunctionRequest_session_tag),
    Mechanism = fieldBit(FunctionRequest_mechanism_tag),
    Data = fieldBit(FunctionRequest_data_tag),
    Template = fieldBit(FunctionRequest_template__tag),
    Handle = fieldBit(FunctionRequest_handle_tag),
    LengthOnly = fieldBit(FunctionRequest_lengthOnly_tag),
    Value = fieldBit(FunctionRequest_value_tag),
    Template2 = fieldBit(FunctionRequest_template2_tag),
    Data2 = fieldBit(FunctionRequest_data2_tag),
    Length = fieldBit(FunctionRequest_length_tag),
    Handle2 = fieldBit(FunctionRequest_handle2_tag),
    Config = fieldBit(FunctionRequest_config_tag),
    Output = LengthOnly | Length,  // the caller's output convention: a length query or a capacity
};
}  // namespace sent

// Reply fields.
namespace received {
enum : FieldSet {
    Rv = fieldBit(FunctionResponse_rv_tag),
    Handle = fieldBit(FunctionResponse_handle_tag),
    Data = fieldBit(FunctionResponse_data_tag),
    Length = fieldBit(FunctionResponse_length_tag),
    Handle2 = fieldBit(FunctionResponse_handle2_tag),
    Attributes = fieldBit(FunctionResponse_attributes_tag),
    SessionInfo = fieldBit(FunctionResponse_sessionInfo_tag),
    TokenInfo = fieldBit(FunctionResponse_tokenInfo_tag),
    Config = fieldBit(FunctionResponse_config_tag),
    Output = Data | Length,
};
}  // namespace received

// X(name, number, request fields besides the function, reply fields besides the return value)
#define ORVO_DEVICE_FUNCTIONS(X)                                                                    \
    X(GenerateKey, 1, sent::Session | sent::Mechanism | sent::Template, received::Handle)               \
    X(EncryptInit, 2, sent::Session | sent::Mechanism | sent::Handle, 0)                            \
    X(Encrypt, 3, sent::Session | sent::Data | sent::Output, received::Output)                          \
    X(DecryptInit, 4, sent::Session | sent::Mechanism | sent::Handle, 0)                            \
    X(Decrypt, 5, sent::Session | sent::Data | sent::Output, received::Output)                          \
    X(EncryptUpdate, 6, sent::Session | sent::Data | sent::Output, received::Output)                    \
    X(DecryptUpdate, 7, sent::Session | sent::Data | sent::Output, received::Output)                    \
    X(EncryptFinal, 8, sent::Session | sent::Output, received::Output)                                  \
    X(DecryptFinal, 9, sent::Session | sent::Output, received::Output)                                  \
    X(InitToken, 10, sent::Data | sent::Data2, 0)                                                   \
    X(OpenSession, 11, sent::Value, received::Handle)                                                   \
    X(CloseSession, 12, sent::Session, 0)                                                           \
    X(Login, 13, sent::Session | sent::Data | sent::Value, 0)                                       \
    X(CloseAllSessions, 14, 0, 0)                                                                   \
    X(GenerateKeyPair, 15, sent::Session | sent::Mechanism | sent::Template | sent::Template2,      \
      received::Handle | received::Handle2)                                                                 \
    X(GetAttributeValue, 16, sent::Session | sent::Handle | sent::Template, received::Attributes)       \
    X(GetSessionInfo, 17, sent::Session, received::SessionInfo)                                         \
    X(InitPIN, 18, sent::Session | sent::Data, 0)                                                   \
    X(Logout, 19, sent::Session, 0)                                                                 \
    X(SetPIN, 20, sent::Session | sent::Data | sent::Data2, 0)                                      \
    X(SignInit, 21, sent::Session | sent::Mechanism | sent::Handle, 0)                              \
    X(Sign, 22, sent::Session | sent::Data | sent::Output, received::Output)                            \
    X(VerifyInit, 23, sent::Session | sent::Mechanism | sent::Handle, 0)                            \
    X(Verify, 24, sent::Session | sent::Data | sent::Data2, 0)                                      \
    X(SignUpdate, 25, sent::Session | sent::Data, 0)                                                \
    X(VerifyUpdate, 26, sent::Session | sent::Data, 0)                                              \
    X(SignFinal, 27, sent::Session | sent::Output, received::Output)                                    \
    X(VerifyFinal, 28, sent::Session | sent::Data, 0)                                               \
    X(DigestInit, 29, sent::Session | sent::Mechanism, 0)                                           \
    X(DigestUpdate, 31, sent::Session | sent::Data, 0)                                              \
    X(DigestFinal, 32, sent::Session | sent::Output, received::Output)                                  \
    X(FindObjectsInit, 33, sent::Session | sent::Template, 0)                                       \
    X(GetTokenInfo, 34, 0, received::TokenInfo)                                                         \
    X(CreateObject, 35, sent::Session | sent::Template, received::Handle)                               \
    X(SetAttributeValue, 36, sent::Session | sent::Handle | sent::Template, 0)                      \
    X(FindObjects, 37, sent::Session | sent::Length, received::Data)                                    \
    X(FindObjectsFinal, 38, sent::Session, 0)                                                       \
    X(DestroyObject, 39, sent::Session | sent::Handle, 0)                                           \
    X(CopyObject, 40, sent::Session | sent::Handle | sent::Template, received::Handle)                  \
    X(GenerateRandom, 42, sent::Session | sent::Length, received::Data)                                 \
    X(WrapKey, 43, sent::Session | sent::Mechanism | sent::Handle | sent::Handle2 | sent::Output,   \
      received::Output)                                                                                 \
    X(UnwrapKey, 44, sent::Session | sent::Mechanism | sent::Handle | sent::Data | sent::Template,   \
      received::Handle)                                                                                 \
    X(ReadLogEntries, 45, sent::Length, received::Output)                                               \
    X(SetDateTime, 46, sent::Handle, 0)                                                             \
    X(DeriveKey, 49, sent::Session | sent::Mechanism | sent::Handle | sent::Template, received::Handle) \
    X(DigestKey, 50, sent::Session | sent::Handle, 0)                                               \
    X(SeedRandom, 51, sent::Session | sent::Data, 0)                                                \
    X(GetObjectSize, 52, sent::Session | sent::Handle, received::Length)                                \
    X(GetTokenConfig, 53, 0, received::Config)                                                          \
    X(SetMaxLoginFailCnt, 54, sent::Handle | sent::Value, 0)                                        \
    X(SetSessionTimeout, 55, sent::Handle, 0)                                                       \
    X(SetPasswordLengths, 56, sent::Handle | sent::Handle2, 0)                                      \
    X(FactoryReset, 57, 0, 0)                                                                       \
    X(BackupStorage, 59, sent::Handle | sent::Length, received::Output | received::Handle)                  \
    X(RestoreStorage, 60, sent::Data | sent::Handle | sent::Handle2, 0)                             \
    X(SetBitOptions, 61, sent::Config, 0)                                                           \
    X(ImportBitcoinKey, 62, sent::Session | sent::Data, 0)                                          \
    X(GetBitcoinPub, 63, sent::Session | sent::Data | sent::Length, received::Data)                     \
    X(SignBitcoinHash, 64, sent::Session | sent::Data | sent::Data2 | sent::Length, received::Data)

namespace fn {
#define ORVO_FUNCTION_NUMBER(name, number, request, reply) name = number,
enum : uint32_t { ORVO_DEVICE_FUNCTIONS(ORVO_FUNCTION_NUMBER) };
#undef ORVO_FUNCTION_NUMBER
}  // namespace fn

struct DeviceFunction {
    const char* name;
    uint32_t number;
    FieldSet request;  // the function field included
    FieldSet reply;    // the return value included
};

#define ORVO_FUNCTION_ROW(name, number, request, reply) \
    DeviceFunction{#name, number, FieldSet{request} | sent::Function, FieldSet{reply} | received::Rv},
inline constexpr DeviceFunction kDeviceFunctions[] = {ORVO_DEVICE_FUNCTIONS(ORVO_FUNCTION_ROW)};
#undef ORVO_FUNCTION_ROW

// The row of function `number`; null for a number the protocol does not have.
constexpr const DeviceFunction* deviceFunction(uint32_t number) {
    for (const DeviceFunction& f : kDeviceFunctions)
        if (f.number == number) return &f;
    return nullptr;
}

// The fields a message struct carries, seen through nanopb's field iteration: a required field
// always, an optional one when its has_ flag is set, a repeated or oneof one when it has an
// entry, a callback field when a callback is set. Field numbers from 32 on count as bit 0.
inline FieldSet carriedFields(const pb_msgdesc_t* fields, const void* message) {
    FieldSet carried = 0;
    pb_field_iter_t it;
    if (!pb_field_iter_begin_const(&it, fields, message)) return carried;
    do {
        bool present = true;
        if (PB_ATYPE(it.type) == PB_ATYPE_CALLBACK)
            present = static_cast<const pb_callback_t*>(it.pData)->funcs.encode != nullptr;
        else if (PB_HTYPE(it.type) == PB_HTYPE_OPTIONAL && it.pSize)
            present = *static_cast<const bool*>(it.pSize);
        else if (PB_HTYPE(it.type) == PB_HTYPE_REPEATED)
            present = *static_cast<const pb_size_t*>(it.pSize) > 0;
        else if (PB_HTYPE(it.type) == PB_HTYPE_ONEOF)
            present = *static_cast<const pb_size_t*>(it.pSize) == it.tag;
        if (present) carried |= fieldBit(it.tag);
    } while (pb_field_iter_next(&it));
    return carried;
}

// The fields an encoded message carries on the wire; false when it does not parse.
inline bool fieldsOnWire(const uint8_t* bytes, size_t length, FieldSet& carried) {
    carried = 0;
    pb_istream_t in = pb_istream_from_buffer(bytes, length);
    while (in.bytes_left > 0) {
        pb_wire_type_t type;
        uint32_t number;
        bool eof;
        if (!pb_decode_tag(&in, &type, &number, &eof) || !pb_skip_field(&in, type)) return false;
        carried |= fieldBit(number);
    }
    return true;
}

// The lowest field number in `fields` (0 for a number from 32 on, or none).
constexpr uint32_t firstField(FieldSet fields) {
    for (uint32_t n = 0; n < 32; ++n)
        if (fields & fieldBit(n)) return n;
    return 0;
}

}  // namespace dravenholt
