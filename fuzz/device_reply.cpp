// The reply path of the device call: whatever the device sends back to each kind of request goes
// through the real decoder and field callbacks into caller buffers of the sizes an input picks.
// Each buffer is allocated at exactly its size, so the sanitizer sees any write beyond it; what
// the library reports back (lengths, counts) must stay within what the caller gave.
//
// Input: a sequence of operations. Each is an operation byte, the operation's own choices, and
// then, as the library makes its device calls, one reply per call (16-bit length, bytes); a
// missing reply is no answer.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "frame/context.h"
#include "token/operations.h"
#include "orvo/admin.h"
#include "support/fuzz_input.h"
#include "support/scratch.h"
#include "transport/transport.h"

using fuzzin::Input;
using fuzzin::require;

namespace {

Input* replies = nullptr;  // the running input; none outside an input

// The device: each read hands out the next reply of the input.
class ReplyTransport : public dravenholt::Transport {
public:
    void open() override { open_ = true; }
    bool isOpen() override { return open_; }
    void close() override { open_ = false; }
    uint32_t getTimeout() override { return 1000; }
    size_t write(const uint8_t*, size_t length) override { return length; }
    size_t write(const std::string& data) override { return data.size(); }
    size_t read(uint8_t* buffer, size_t capacity) override {
        if (!replies) return 0;
        std::vector<uint8_t> reply = replies->run();
        size_t n = std::min(reply.size(), capacity);
        if (n) std::memcpy(buffer, reply.data(), n);
        return n;
    }
    dravenholt::TransportKind kind() const override { return dravenholt::TransportKind::Other; }

private:
    bool open_ = false;
};

// A caller's buffer of exactly `size` bytes (none when `present` is false).
class Buffer {
public:
    Buffer(size_t size, bool present = true)
        : size_(size), data_(present ? static_cast<uint8_t*>(std::malloc(size)) : nullptr) {
        if (data_) std::memset(data_, 0xA5, size);
    }
    ~Buffer() { std::free(data_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    uint8_t* get() const { return data_; }
    size_t size() const { return size_; }

private:
    size_t size_;
    uint8_t* data_;
};

CK_SESSION_HANDLE session = 0;
dravenholt::Context& context() { return dravenholt::getContext(); }

// Operations that put device bytes into a caller's buffer and report their number.
using OutputCall = CK_RV (*)(CK_BYTE_PTR in, CK_ULONG inLength, CK_BYTE_PTR out, CK_ULONG_PTR outLength);

const OutputCall kOutputCalls[] = {
    [](CK_BYTE_PTR in, CK_ULONG n, CK_BYTE_PTR out, CK_ULONG_PTR len) { return dravenholt::ops::C_Encrypt(context(), session, in, n, out, len); },
    [](CK_BYTE_PTR in, CK_ULONG n, CK_BYTE_PTR out, CK_ULONG_PTR len) { return dravenholt::ops::C_Decrypt(context(), session, in, n, out, len); },
    [](CK_BYTE_PTR in, CK_ULONG n, CK_BYTE_PTR out, CK_ULONG_PTR len) { return dravenholt::ops::C_EncryptUpdate(context(), session, in, n, out, len); },
    [](CK_BYTE_PTR in, CK_ULONG n, CK_BYTE_PTR out, CK_ULONG_PTR len) { return dravenholt::ops::C_DecryptUpdate(context(), session, in, n, out, len); },
    [](CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR out, CK_ULONG_PTR len) { return dravenholt::ops::C_EncryptFinal(context(), session, out, len); },
    [](CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR out, CK_ULONG_PTR len) { return dravenholt::ops::C_DecryptFinal(context(), session, out, len); },
    [](CK_BYTE_PTR in, CK_ULONG n, CK_BYTE_PTR out, CK_ULONG_PTR len) { return dravenholt::ops::C_Sign(context(), session, in, n, out, len); },
    [](CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR out, CK_ULONG_PTR len) { return dravenholt::ops::C_SignFinal(context(), session, out, len); },
    [](CK_BYTE_PTR in, CK_ULONG n, CK_BYTE_PTR out, CK_ULONG_PTR len) { return dravenholt::ops::C_Digest(context(), session, in, n, out, len); },
    [](CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR out, CK_ULONG_PTR len) { return dravenholt::ops::C_DigestFinal(context(), session, out, len); },
    [](CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR out, CK_ULONG_PTR len) {
        CK_MECHANISM mechanism{CKM_AES_KEY_WRAP, nullptr, 0};
        return dravenholt::ops::C_WrapKey(context(), session, &mechanism, 1, 2, out, len);
    },
};

void outputCall(Input& in) {
    OutputCall call = kOutputCalls[in.u8() % std::size(kOutputCalls)];
    Buffer data(in.u16() % 5000);
    uint8_t shape = in.u8();
    Buffer out(in.u16(), shape & 1);
    CK_ULONG length = out.size();
    CK_RV rv = call(data.get(), data.size(), out.get(), &length);
    if (rv == CKR_OK && out.get()) require(length <= out.size(), "an output length beyond the caller's buffer");
}

// Attribute types a template asks for: numbers, truth values, byte strings and arrays.
const CK_ATTRIBUTE_TYPE kTypes[] = {
    CKA_CLASS,         CKA_KEY_TYPE,      CKA_VALUE_LEN,     CKA_MODULUS_BITS,  CKA_TOKEN,
    CKA_PRIVATE,       CKA_SENSITIVE,     CKA_SIGN,          0x80000002UL,      CKA_LABEL,
    CKA_ID,            CKA_VALUE,         CKA_MODULUS,       CKA_EC_POINT,      CKA_WRAP_TEMPLATE,
    CKA_UNWRAP_TEMPLATE, CKA_DERIVE_TEMPLATE, CKA_ALLOWED_MECHANISMS,
};

// Nested records keep the caller's value pointers: each points into this array.
uint8_t nestedTargets[64];

struct Record {
    std::unique_ptr<Buffer> value;
    CK_ULONG capacity = 0;
    size_t nested = 0;
};

void getAttributeValue(Input& in) {
    size_t count = in.u8() % 48 + 1;
    std::vector<CK_ATTRIBUTE> tmpl(count);
    std::vector<Record> records(count);
    for (size_t i = 0; i < count; ++i) {
        uint8_t pick = in.u8();
        tmpl[i].type = pick < std::size(kTypes) ? kTypes[pick] : in.u32();
        // Shape: 0xFF a size query (no buffer); with bit 7 a 16-bit capacity follows; else a
        // small capacity, or for an array attribute a number of nested records.
        uint8_t shape = in.u8();
        Record& r = records[i];
        if (shape == 0xFF) {
            tmpl[i].pValue = nullptr;
        } else {
            if (shape & 0x80) {
                r.capacity = in.u16() % 1200;
            } else if (tmpl[i].type & CKF_ARRAY_ATTRIBUTE) {
                r.nested = shape % 8;
                r.capacity = r.nested * sizeof(CK_ATTRIBUTE) + (shape >> 3) % 3;
            } else {
                r.capacity = shape % 16;
            }
            r.value = std::make_unique<Buffer>(r.capacity);
            tmpl[i].pValue = r.value->get();
            auto* nested = static_cast<CK_ATTRIBUTE*>(tmpl[i].pValue);
            for (size_t j = 0; j < r.nested; ++j) nested[j] = {0, nestedTargets + j, 0};
        }
        tmpl[i].ulValueLen = r.capacity;
    }
    dravenholt::ops::C_GetAttributeValue(context(), session, in.u8(), tmpl.data(), count);
    for (size_t i = 0; i < count; ++i) {
        if (!tmpl[i].pValue) continue;
        CK_ULONG length = tmpl[i].ulValueLen;
        require(length <= records[i].capacity || length == CK_UNAVAILABLE_INFORMATION,
                "an attribute length beyond the caller's buffer");
        auto* nested = static_cast<CK_ATTRIBUTE*>(tmpl[i].pValue);
        for (size_t j = 0; j < records[i].nested; ++j)
            require(nested[j].pValue == nestedTargets + j, "a nested record's value pointer was replaced");
    }
}

void findObjects(Input& in) {
    CK_ULONG most = in.u16() % 600 + 1;
    std::vector<CK_OBJECT_HANDLE> room(most);
    CK_ULONG found = 0;
    dravenholt::ops::C_FindObjects(context(), session, room.data(), most, &found);
    require(found <= most, "more handles reported than the caller's array holds");
}

void digestInPieces(Input& in) {
    Buffer data(in.u16() % 7000);
    dravenholt::ops::C_DigestUpdate(context(), session, data.get(), data.size());
}

void generateRandom(Input& in) {
    Buffer out(in.u16() % 6000);
    dravenholt::ops::C_GenerateRandom(context(), session, out.get(), out.size());
}

void tokenAndSessionInfo(Input& in) {
    if (in.u8() & 1) {
        CK_TOKEN_INFO info;
        dravenholt::ops::C_GetTokenInfo(context(), 0, &info);
    } else {
        CK_SESSION_INFO info;
        dravenholt::ops::C_GetSessionInfo(context(), session, &info);
    }
}

void objectSize(Input& in) {
    CK_ULONG size = 0;
    dravenholt::ops::C_GetObjectSize(context(), session, in.u8(), &size);
}

void newHandles(Input& in) {
    CK_OBJECT_CLASS dataClass = CKO_DATA;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &dataClass, sizeof dataClass}};
    CK_OBJECT_HANDLE first = 0, second = 0;
    CK_MECHANISM mechanism{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    switch (in.u8() % 3) {
        case 0: dravenholt::ops::C_CreateObject(context(), session, tmpl, 1, &first); break;
        case 1: dravenholt::ops::C_GenerateKeyPair(context(), session, &mechanism, tmpl, 1, tmpl, 1, &first, &second); break;
        default: {
            CK_SESSION_HANDLE opened = 0;
            if (dravenholt::ops::C_OpenSession(context(), 0, CKF_SERIAL_SESSION, nullptr, nullptr, &opened) == CKR_OK || opened)
                dravenholt::ops::C_CloseSession(context(), opened);
        }
    }
}

void readLog(Input& in) {
    uint8_t shape = in.u8();
    Buffer out(in.u16(), shape & 1);
    uint64_t length = out.size();
    if (bReadLogEntries(0, out.get(), &length) && out.get())
        require(length <= out.size(), "a log length beyond the caller's buffer");
}

void backupStorage(Input& in) {
    Buffer out(in.u16() % 9000 + 1);
    uint64_t length = out.size();
    u32BackupStorage(0, out.get(), &length);
    require(length <= out.size(), "a backup length beyond the caller's buffer");
}

void bitcoin(Input& in) {
    uint8_t shape = in.u8();
    std::vector<uint32_t> path(shape % 8, 0x80000000u);
    Buffer out(in.u16() % 200 + 1);
    uint64_t length = out.size();
    uint8_t hash[32] = {};
    uint32_t rv;
    switch (shape >> 6) {
        case 0: rv = u32GetBitcoinPub(static_cast<uint32_t>(session), path.data(), path.size(), out.get(), &length); break;
        case 1:
            rv = u32SignBitcoinHash(static_cast<uint32_t>(session), hash, sizeof hash, path.data(), path.size(),
                                    out.get(), &length);
            break;
        case 2: {
            uint8_t record[8] = {1, 8};
            u32GetTokenConfig(0, record);
            return;
        }
        default: {
            uint32_t key = 0;
            u32HasBitcoinKey(static_cast<uint32_t>(session), &key);
            return;
        }
    }
    if (rv == CKR_OK) require(length <= out.size(), "a Bitcoin output length beyond the caller's buffer");
}

using Operation = void (*)(Input&);
const Operation kOperations[] = {
    outputCall,   getAttributeValue, findObjects, digestInPieces, generateRandom, tokenAndSessionInfo,
    objectSize,   newHandles,        readLog,     backupStorage,  bitcoin,
};

// A session the operations use, opened through a well-formed reply.
void openSession() {
    const uint8_t script[] = {4, 0, 0x08, 0x00, 0x10, 0x05};  // rv 0, handle 5
    Input in(script, sizeof script);
    replies = &in;
    dravenholt::ops::C_OpenSession(context(), 0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
    replies = nullptr;
    require(session != 0, "the fuzzing session did not open");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Logging at every level, to nowhere, so that every log line with device data runs too.
    std::filesystem::path directory = fuzzin::scratchDirectory("orvo-fuzz-reply");
    std::ofstream(directory / "orvoconfig.json") << R"({"logging": {"loglevel": 0, "logfile": "/dev/null"}})";
    setenv("ORVO_CONFIG_PATH", directory.c_str(), 1);
    dravenholt::getContext().setDevicePair([](const dravenholt::Settings&) { return std::vector<uint64_t>{0}; },
                               [](uint64_t, const dravenholt::Settings&, dravenholt::LogTarget&) -> std::unique_ptr<dravenholt::Transport> {
                                   return std::make_unique<ReplyTransport>();
                               });
    require(C_Initialize(nullptr) == CKR_OK, "C_Initialize failed");
    openSession();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    replies = &in;
    while (!in.empty()) kOperations[in.u8() % std::size(kOperations)](in);
    replies = nullptr;
    return 0;
}
