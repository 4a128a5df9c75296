// The frame that every token entry point shares: log the name, check that the library is
// initialised, check the arguments, take the library mutex, select the port (through the session
// or directly from a slot), fill the request, call the device, read the results.
#pragma once

#include <cstdint>
#include <mutex>

#include "frame/context.h"
#include "protocol/callbacks.h"

namespace dravenholt {

// One device call being built: the request, the response, the port it goes to, and the spans
// and templates that its field callbacks point at (they live as long as the call).
class DeviceCall {
public:
    explicit DeviceCall(uint32_t function);
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
    DeviceCall& attributes(CK_ATTRIBUTE* tmpl, CK_ULONG count);   // field 5, values
    DeviceCall& attributes2(CK_ATTRIBUTE* tmpl, CK_ULONG count);  // field 9, values
    DeviceCall& types(CK_ATTRIBUTE* tmpl, CK_ULONG count);        // field 5, types only

    // Response field 3 into the caller's buffer (null buffer: only the length is recorded).
    DeviceCall& output(void* buffer, uint32_t capacity);
    const ByteSpan& outputSpan() const { return spans_[2]; }

    // Sends the request to `port` and returns the response's field 1.
    CK_RV run(CContext& context);

private:
    void refuse(CK_RV code) {
        if (pending_ == CKR_OK) pending_ = code;
    }
    ByteSpan spans_[3];
    Template templates_[2];
    CK_RV pending_ = CKR_OK;
};

// The entry frame. Checks run in order; the first failing one decides the result.
class Entry {
public:
    Entry(CContext& context, const char* name);
    Entry& check(bool ok, CK_RV failure = CKR_ARGUMENTS_BAD) {
        if (rv_ == CKR_OK && !ok) rv_ = failure;
        return *this;
    }
    CK_RV rv() const { return rv_; }
    CContext& context() { return context_; }

    // The body under the library mutex.
    template <class Body>
    CK_RV locked(Body&& body) {
        if (rv_ != CKR_OK) return rv_;
        std::lock_guard<std::mutex> guard(libraryMutex());
        return body();
    }

    // The body under the library mutex with the session looked up: the call goes to the
    // session's port and carries the device's handle in field 2.
    template <class Body>
    CK_RV session(CK_SESSION_HANDLE handle, uint32_t function, Body&& body) {
        return locked([&] { return call(handle, function, body); });
    }

    // One call on the session's port for a body that already holds the library mutex, so that
    // the pieces of one operation follow each other on the device.
    template <class Body>
    CK_RV call(CK_SESSION_HANDLE handle, uint32_t function, Body&& body) {
        SessionEntry entry{};
        if (CK_RV rv = context_.lookupSession(handle, entry); rv != CKR_OK) return rv;
        DeviceCall device(function);
        device.port = entry.port;
        device.request.has_session = true;
        device.request.session = entry.deviceHandle;
        return body(device);
    }

    // A session operation that only sends the handle and returns the device's answer.
    CK_RV simple(CK_SESSION_HANDLE handle, uint32_t function) {
        return session(handle, function, [&](DeviceCall& call) { return call.run(context_); });
    }

private:
    CContext& context_;
    CK_RV rv_;
};

}  // namespace dravenholt
