// The frame that every token operation shares: log the name, check that the library is
// initialised, check the arguments, take the library mutex and check again that the library is
// initialised, select the port (through the session or directly from a slot), fill the request,
// call the device, read the results.
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>

#include "frame/context.h"
#include "protocol/callbacks.h"

namespace dravenholt {

// Byte fields of the mechanism (request field 3), filled by token/mechanism_params.h: the
// parameter block (the caller's bytes, or `deviceLayout` when the block was re-laid out for the
// device), followed on the wire by `tail` when a block is made of two parts, and the OAEP source
// data or ECDH public data.
struct MechanismBytes {
    ByteSpan block;
    ByteSpan tail;
    ByteSpan inner[2];  // byte strings of a structure taken apart: OAEP's label, ECDH's two
    uint8_t deviceLayout[32];
};

// Reply fields that carry a call's result. A success reply without one of those a call needs is
// not believed: the call fails with CKR_DEVICE_ERROR and writes none of its outputs. Nor is a
// reply without the output length that a length query's success and CKR_BUFFER_TOO_SMALL
// promise, or one that says every attribute record was processed but lacks a type asked for
// (attributeResults). Over a byte stream such a reply is read on until the exchange's deadline
// first: it may be a reply that has not all arrived yet.
enum Needs : unsigned {
    kNeedsHandle = 1,        // field 2
    kNeedsHandle2 = 2,       // field 5
    kNeedsSessionInfo = 4,   // field 7
    kNeedsTokenInfo = 8,     // field 8
    kNeedsFullOutput = 16,   // field 3, filling the output buffer exactly
};

// One device call being built: the request, the response, the port it goes to, and the spans
// and templates that its field callbacks point at (they live as long as the call).
class DeviceCall : private ReplyCheck {
public:
    explicit DeviceCall(uint32_t function, int32_t to = -1);
    DeviceCall(const DeviceCall&) = delete;
    DeviceCall& operator=(const DeviceCall&) = delete;

    FunctionRequest request = FunctionRequest_init_zero;
    FunctionResponse response = FunctionResponse_init_zero;
    int32_t port = -1;

    // Request fields. A host value that does not fit the 32-bit wire is remembered and makes
    // run() fail with the given code before anything is sent.
    DeviceCall& data(const void* bytes, CK_ULONG length);   // field 4
    DeviceCall& data2(const void* bytes, CK_ULONG length);  // field 10
    DeviceCall& handle(CK_ULONG value, CK_RV tooLarge);     // field 6
    DeviceCall& handle2(CK_ULONG value, CK_RV tooLarge);    // field 12
    DeviceCall& value(CK_ULONG value, CK_RV tooLarge = CKR_ARGUMENTS_BAD);  // field 8
    DeviceCall& length(CK_ULONG value, CK_RV tooLarge = CKR_ARGUMENTS_BAD);  // field 11
    DeviceCall& lengthOnly();                                // field 7
    DeviceCall& attributes(const CK_ATTRIBUTE* tmpl, CK_ULONG count);   // field 5, values
    DeviceCall& attributes2(const CK_ATTRIBUTE* tmpl, CK_ULONG count);  // field 9, values
    DeviceCall& types(const CK_ATTRIBUTE* tmpl, CK_ULONG count);        // field 5, types only
    // Response field 6 into `table`: an entry for each type that types() asks for.
    DeviceCall& attributeResults(AttributeTable& table);
    DeviceCall& needs(unsigned fields) {
        needs_ |= fields;
        return *this;
    }

    // Response field 3 into the caller's buffer (null buffer: only the length is recorded).
    // A capacity beyond 32 bits bounds nothing the wire can carry and counts as the largest.
    DeviceCall& output(void* buffer, CK_ULONG capacity);
    const ByteSpan& outputSpan() const { return spans_[2]; }

    // The standard's output convention, for every call that returns bytes into a caller's
    // buffer: without a buffer the call asks for the length only (field 7), and the device
    // keeps the operation running; with one the device learns its capacity (field 11) and
    // answers CKR_BUFFER_TOO_SMALL with the length needed, again keeping the operation. The
    // output then lands in the buffer. Run it with runOutput().
    DeviceCall& callerOutput(void* buffer, const CK_ULONG* pulLength);  // pulLength not null

    // Sends the request to `port` and returns the response's field 1; a success reply without
    // a field the call needs fails (see Needs).
    CK_RV run(Context& context);

    // run() for a call that makes an object: its handle (field 2, which success needs) into
    // *handle, written only on success.
    CK_RV runForHandle(Context& context, CK_ULONG* handle);

    // run(), then the output length for the caller into *pulLength (when given): response
    // field 4 when present and `withField4`, else the number of bytes received in field 3, else
    // the caller's value stays. A successful reply that announces more bytes than it put into
    // the caller's buffer is broken and fails with CKR_FUNCTION_FAILED, the length unchanged.
    CK_RV runReporting(Context& context, CK_ULONG_PTR pulLength, bool withField4 = true);

    // runReporting() for callerOutput(). A length query answered with success, and a
    // CKR_BUFFER_TOO_SMALL, must carry the length (field 4): without it the caller would take
    // its own value for the device's answer, so the call fails with CKR_DEVICE_ERROR instead.
    CK_RV runOutput(Context& context, CK_ULONG_PTR pulLength);

    // Makes run() fail with `code` before anything is sent (the first refusal wins).
    void refuse(CK_RV code) {
        if (pending_ == CKR_OK) pending_ = code;
    }
    CK_RV refusal() const { return pending_; }

    MechanismBytes mechanismBytes;

private:
    static bool decodeOutput(pb_istream_t* stream, const pb_field_t* field, void** arg);
    CK_RV report(Context& context, CK_RV rv, CK_ULONG_PTR pulLength, bool withField4);
    bool lacks(unsigned fields) const;
    // Why the decoded reply is not believed (see Needs); null when it is.
    const char* flaw() const;
    bool answersEveryType() const;
    void restart() override;
    bool whole() const override { return !flaw(); }
    bool outputReceived_ = false;
    bool lengthQuery_ = false;
    bool callerOutput_ = false;
    AttributeTable* table_ = nullptr;
    uint32_t requestedOutput_ = 0;
    unsigned needs_ = 0;
    ByteSpan spans_[3];
    Template templates_[2];
    CK_RV pending_ = CKR_OK;
};

// Input of the multi-part update calls travels in pieces of at most this many bytes.
constexpr CK_ULONG kUpdatePiece = 2000;

// Calls body(offset, count) for consecutive pieces of at most `piece` units of `total`, in order,
// until it returns false; with a total of 0, once with a count of 0.
template <class Body>
void forPieces(CK_ULONG total, CK_ULONG piece, Body&& body) {
    CK_ULONG done = 0;
    do {
        CK_ULONG count = std::min(total - done, piece);
        if (!body(done, count)) return;
        done += count;
    } while (done < total);
}

// The entry frame. Checks run in order; the first failing one decides the result and logs
// `why`, when given, at DEBUG.
class Entry {
public:
    // `name` is logged at TRACE; the few operations without that line pass null.
    Entry(Context& context, const char* name);
    Entry& check(bool ok, CK_RV failure = CKR_ARGUMENTS_BAD, const char* why = nullptr) {
        if (rv_ == CKR_OK && !ok) {
            rv_ = failure;
            if (why) context_.logMessage(kDebug, why);
        }
        return *this;
    }
    CK_RV rv() const { return rv_; }
    Context& context() { return context_; }

    // The body under the library mutex. The library may have been finalised since the entry's
    // own check (C_Finalize tears down under the same mutex): then the body does not run.
    template <class Body>
    CK_RV locked(Body&& body) {
        if (rv_ != CKR_OK) return rv_;
        LibraryLock lock;
        if (!context_.initialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
        return body();
    }

    // A call addressed to a slot: under the library mutex, the body gets the slot's port, to
    // address its device calls and to reach the transport through context().withTransport().
    // A slot that names no port answers CKR_SLOT_ID_INVALID, or with `checked` false is left to
    // the device call, which finds no port and fails ("Port not found", CKR_FUNCTION_FAILED).
    template <class Body>
    CK_RV slot(CK_SLOT_ID id, Body&& body, bool checked = true) {
        return locked([&]() -> CK_RV {
            if (checked && !context_.ports().has(id)) return CKR_SLOT_ID_INVALID;
            return body(id > 0x7FFFFFFF ? -1 : static_cast<int32_t>(id));
        });
    }

    // The body under the library mutex with the session looked up: the call goes to the
    // session's port and carries the device's handle in field 2.
    template <class Body>
    CK_RV session(CK_SESSION_HANDLE handle, uint32_t function, Body&& body) {
        return locked([&] { return inSession(handle, function, body); });
    }

    // Sends `length` bytes as field 4 of one call per piece of at most kUpdatePiece bytes, all
    // under one hold of the library mutex, each piece with its own session lookup. Stops at the
    // first piece that does not answer CKR_OK and returns the last result; a length of 0 sends
    // one empty piece.
    CK_RV pieces(CK_SESSION_HANDLE handle, uint32_t function, const CK_BYTE* data, CK_ULONG length);

    // A session operation that only sends the handle and returns the device's answer.
    CK_RV simple(CK_SESSION_HANDLE handle, uint32_t function) {
        return session(handle, function, [&](DeviceCall& call) { return call.run(context_); });
    }

    // The session lookup with the library mutex already held: one call of an operation that
    // makes several under one hold.
    template <class Body>
    CK_RV inSession(CK_SESSION_HANDLE handle, uint32_t function, Body&& body) {
        SessionRecord record{};
        if (CK_RV rv = context_.sessions().lookup(handle, record); rv != CKR_OK) return rv;
        DeviceCall call(function);
        call.port = record.port;
        call.request.has_session = true;
        call.request.session = record.deviceHandle;
        return body(call);
    }

private:
    Context& context_;
    CK_RV rv_;
};

}  // namespace dravenholt
