// The reply path of the device call: whatever the device sends back to each kind of request goes
// through the real decoder and field callbacks into caller buffers of the sizes an input picks.
// Each buffer is allocated at exactly its size, so the sanitizer sees any write beyond it; what
// the library reports back (lengths, counts) must stay within what the caller gave.
//
// Input: a sequence of operations. Each is an operation byte, the operation's own choices, and
// then, as the library makes its device calls, one reply per call (16-bit length, bytes); a
// missing reply is no answer.
#include <fstream>
#include <optional>

#include "frame/context.h"
#include "token/operations.h"
#include "orvo/admin.h"
#include "support/fuzz_input.h"
#include "transport/transport.h"

using namespace fuzzin;

namespace {

namespace ops = dravenholt::ops;
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

CK_SESSION_HANDLE session = 0;
dravenholt::Context& context() { return dravenholt::getContext(); }

// An operation that puts device bytes into a caller's buffer and reports their number.
void outputCall(Input& in) {
    const uint8_t which = in.u8() % 11;
    Buffer data(in.u16() % 5000);
    uint8_t shape = in.u8();
    Buffer out(in.u16(), shape & 1);
    CK_ULONG length = out.size();
    CK_BYTE_PTR d = data.get(), o = out.get();
    const CK_ULONG n = data.size();
    CK_MECHANISM wrap{CKM_AES_KEY_WRAP, nullptr, 0};
    dravenholt::Context& c = context();
    CK_RV rv = CKR_OK;
    switch (which) {
        case 0: rv = ops::C_Encrypt(c, session, d, n, o, &length); break;
        case 1: rv = ops::C_Decrypt(c, session, d, n, o, &length); break;
        case 2: rv = ops::C_EncryptUpdate(c, session, d, n, o, &length); break;
        case 3: rv = ops::C_DecryptUpdate(c, session, d, n, o, &length); break;
        case 4: rv = ops::C_EncryptFinal(c, session, o, &length); break;
        case 5: rv = ops::C_DecryptFinal(c, session, o, &length); break;
        case 6: rv = ops::C_Sign(c, session, d, n, o, &length); break;
        case 7: rv = ops::C_SignFinal(c, session, o, &length); break;
        case 8: rv = ops::C_Digest(c, session, d, n, o, &length); break;
        case 9: rv = ops::C_DigestFinal(c, session, o, &length); break;
        default: rv = ops::C_WrapKey(c, session, &wrap, 1, 2, o, &length);
    }
    if (rv == CKR_OK && o) require(length <= out.size(), "an output length beyond the caller's buffer");
}

// Attribute types a template asks for: numbers, truth values, byte strings and arrays.
const CK_ATTRIBUTE_TYPE kTypes[] = {
    CKA_CLASS, CKA_KEY_TYPE, CKA_VALUE_LEN, CKA_MODULUS_BITS, CKA_TOKEN, CKA_PRIVATE, CKA_SENSITIVE, CKA_SIGN,
    0x80000002UL, CKA_LABEL, CKA_ID, CKA_VALUE, CKA_MODULUS, CKA_EC_POINT, CKA_WRAP_TEMPLATE, CKA_UNWRAP_TEMPLATE,
    CKA_DERIVE_TEMPLATE, CKA_ALLOWED_MECHANISMS,
};

// Nested records keep the caller's value pointers: each points into this array.
uint8_t nestedTargets[64];

void getAttributeValue(Input& in) {
    size_t count = in.u8() % 48 + 1;
    std::vector<CK_ATTRIBUTE> tmpl(count);
    std::vector<std::optional<Buffer>> values(count);  // each attribute's buffer, unless a size query
    std::vector<size_t> nested(count);                  // records placed in an array attribute's buffer
    for (size_t i = 0; i < count; ++i) {
        uint8_t pick = in.u8();
        tmpl[i].type = pick < std::size(kTypes) ? kTypes[pick] : in.u32();
        // Shape: 0xFF a size query (no buffer); with bit 7 a 16-bit capacity follows; else a
        // small capacity, or for an array attribute a number of nested records.
        uint8_t shape = in.u8();
        CK_ULONG capacity = 0;
        if (shape != 0xFF) {
            if (shape & 0x80) {
                capacity = in.u16() % 1200;
            } else if (tmpl[i].type & CKF_ARRAY_ATTRIBUTE) {
                nested[i] = shape % 8;
                capacity = nested[i] * sizeof(CK_ATTRIBUTE) + (shape >> 3) % 3;
            } else {
                capacity = shape % 16;
            }
            tmpl[i].pValue = values[i].emplace(capacity).get();
            auto* records = static_cast<CK_ATTRIBUTE*>(tmpl[i].pValue);
            for (size_t j = 0; j < nested[i]; ++j) records[j] = {0, nestedTargets + j, 0};
        }
        tmpl[i].ulValueLen = capacity;
    }
    ops::C_GetAttributeValue(context(), session, in.u8(), tmpl.data(), count);
    for (size_t i = 0; i < count; ++i) {
        if (!values[i]) continue;
        CK_ULONG length = tmpl[i].ulValueLen;
        require(length <= values[i]->size() || length == CK_UNAVAILABLE_INFORMATION,
                "an attribute length beyond the caller's buffer");
        auto* records = static_cast<CK_ATTRIBUTE*>(tmpl[i].pValue);
        for (size_t j = 0; j < nested[i]; ++j)
            require(records[j].pValue == nestedTargets + j, "a nested record's value pointer was replaced");
    }
}

void newHandles(Input& in) {
    CK_OBJECT_CLASS dataClass = CKO_DATA;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &dataClass, sizeof dataClass}};
    CK_OBJECT_HANDLE first = 0, second = 0;
    CK_MECHANISM mechanism{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    switch (in.u8() % 3) {
        case 0: ops::C_CreateObject(context(), session, tmpl, 1, &first); break;
        case 1: ops::C_GenerateKeyPair(context(), session, &mechanism, tmpl, 1, tmpl, 1, &first, &second); break;
        default: {
            CK_SESSION_HANDLE opened = 0;
            if (ops::C_OpenSession(context(), 0, CKF_SERIAL_SESSION, nullptr, nullptr, &opened) == CKR_OK || opened)
                ops::C_CloseSession(context(), opened);
        }
    }
}

void bitcoin(Input& in) {
    uint8_t shape = in.u8();
    std::vector<uint32_t> path(shape % 8, 0x80000000u);
    Buffer out(in.u16() % 200 + 1);
    uint64_t length = out.size();
    uint8_t hash[32] = {}, record[8] = {1, 8};
    uint32_t key = 0, rv = CKR_GENERAL_ERROR;
    const auto handle = static_cast<uint32_t>(session);
    switch (shape >> 6) {
        case 0: rv = u32GetBitcoinPub(handle, path.data(), path.size(), out.get(), &length); break;
        case 1: rv = u32SignBitcoinHash(handle, hash, sizeof hash, path.data(), path.size(), out.get(), &length); break;
        case 2: u32GetTokenConfig(0, record); break;
        default: u32HasBitcoinKey(handle, &key);
    }
    if (rv == CKR_OK) require(length <= out.size(), "a Bitcoin output length beyond the caller's buffer");
}

using Operation = void (*)(Input&);
const Operation kOperations[] = {
    outputCall,
    getAttributeValue,
    [](Input& in) {
        CK_ULONG most = in.u16() % 600 + 1;
        std::vector<CK_OBJECT_HANDLE> room(most);
        CK_ULONG found = 0;
        ops::C_FindObjects(context(), session, room.data(), most, &found);
        require(found <= most, "more handles reported than the caller's array holds");
    },
    [](Input& in) {  // digest in pieces
        Buffer data(in.u16() % 7000);
        ops::C_DigestUpdate(context(), session, data.get(), data.size());
    },
    [](Input& in) {
        Buffer out(in.u16() % 6000);
        ops::C_GenerateRandom(context(), session, out.get(), out.size());
    },
    [](Input& in) {
        CK_TOKEN_INFO token;
        CK_SESSION_INFO info;
        if (in.u8() & 1) ops::C_GetTokenInfo(context(), 0, &token);
        else ops::C_GetSessionInfo(context(), session, &info);
    },
    [](Input& in) {
        CK_ULONG size = 0;
        ops::C_GetObjectSize(context(), session, in.u8(), &size);
    },
    newHandles,
    [](Input& in) {
        uint8_t shape = in.u8();
        Buffer out(in.u16(), shape & 1);
        uint64_t length = out.size();
        if (bReadLogEntries(0, out.get(), &length) && out.get())
            require(length <= out.size(), "a log length beyond the caller's buffer");
    },
    [](Input& in) {
        Buffer out(in.u16() % 9000 + 1);
        uint64_t length = out.size();
        u32BackupStorage(0, out.get(), &length);
        require(length <= out.size(), "a backup length beyond the caller's buffer");
    },
    bitcoin,
};

// A session the operations use, opened through a well-formed reply.
void openSession() {
    const uint8_t script[] = {4, 0, 0x08, 0x00, 0x10, 0x05};  // rv 0, handle 5
    Input in(script, sizeof script);
    replies = &in;
    ops::C_OpenSession(context(), 0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
    replies = nullptr;
    require(session != 0, "the fuzzing session did not open");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Logging at every level, to nowhere, so that every log line with device data runs too.
    std::filesystem::path directory = scratchDirectory("orvo-fuzz-reply");
    std::ofstream(directory / "orvoconfig.json") << R"({"logging": {"loglevel": 0, "logfile": "/dev/null"}})";
    setenv("ORVO_CONFIG_PATH", directory.c_str(), 1);
    context().setDevicePair([](const dravenholt::Settings&) { return std::vector<uint64_t>{0}; },
                            [](uint64_t, const dravenholt::Settings&, dravenholt::LogTarget&) {
                                return std::unique_ptr<dravenholt::Transport>(new ReplyTransport);
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
