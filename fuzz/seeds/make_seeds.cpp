// Writes the seed corpus of every fuzz target into <directory>/<target>/seed-<name>: well-formed
// conversations that the fuzzer then varies. Run from the build tree:
//   build/fuzz/fuzz_make_seeds fuzz/corpus
// Each seed follows its target's input layout (the comment at the top of each target's source).
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "protocol/function_ids.h"
#include "support/token_requests.h"

namespace fn = dravenholt::fn;
using dravenholt::wire::Response;
using fuzzreq::Bytes;
using fuzzreq::Request;

namespace {

std::filesystem::path root;

class Seed {
public:
    Seed(std::string target, std::string name) : path_(root / target / ("seed-" + name)) {}
    ~Seed() {
        std::filesystem::create_directories(path_.parent_path());
        std::ofstream(path_, std::ios::binary).write(reinterpret_cast<const char*>(bytes_.data()), bytes_.size());
    }
    Seed& u8(uint8_t v) { return bytes_.push_back(v), *this; }
    Seed& u16(uint16_t v) { return u8(v & 0xFF).u8(v >> 8); }
    Seed& u32(uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    Seed& raw(const Bytes& b) { return bytes_.insert(bytes_.end(), b.begin(), b.end()), *this; }
    Seed& run(const Bytes& b) { return u16(static_cast<uint16_t>(b.size())).raw(b); }
    Seed& reply(const Response& r) {
        Bytes out;
        dravenholt::wire::encodeResponse(r, out, 4096);
        return run(out);
    }
    Seed& request(const Request& r) { return run(fuzzreq::encoded(r)); }

private:
    std::filesystem::path path_;
    Bytes bytes_;
};

Bytes filled(size_t n, uint8_t first = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
    return b;
}

Response answer(uint32_t rv) {
    Response r;
    r.rv = rv;
    return r;
}

Response withData(uint32_t rv, const Bytes& data, std::optional<uint32_t> length = std::nullopt) {
    Response r = answer(rv);
    r.data = data;
    r.length = length;
    return r;
}

Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

// A nested record in the device layout: type, an 8-byte pointer, length.
Bytes nestedRecord(uint32_t type, uint32_t length) {
    Bytes b = le32(type);
    b.insert(b.end(), 8, 0xCC);
    Bytes l = le32(length);
    b.insert(b.end(), l.begin(), l.end());
    return b;
}

void deviceReplySeeds() {
    const char* t = "device_reply";
    // Output calls: encrypt, sign, digest final, wrap; exact, announced beyond, too small.
    Seed(t, "encrypt").u8(0).u8(0).u16(16).u8(1).u16(64).reply(withData(0, filled(32), 32));
    Seed(t, "sign-final-size-query").u8(0).u8(7).u16(0).u8(0).u16(0).reply(withData(0, {}, 64));
    Seed(t, "digest-final").u8(0).u8(9).u16(0).u8(1).u16(32).reply(withData(0, filled(32)));
    Seed(t, "wrap-announces-more").u8(0).u8(10).u16(0).u8(1).u16(40).reply(withData(0, filled(24), 40));
    Seed(t, "decrypt-too-small").u8(0).u8(1).u16(48).u8(1).u16(8).reply(withData(CKR_BUFFER_TOO_SMALL, {}, 48));

    // Attribute values of every form, an array attribute with nested records, an unavailable
    // value and a value shorter than announced.
    Response attributes = answer(0);
    attributes.attributes = {fuzzreq::number(CKA_CLASS, CKO_SECRET_KEY), fuzzreq::flag(CKA_TOKEN, true),
                             fuzzreq::bytes(CKA_LABEL, {'k', 'e', 'y'})};
    Bytes nested = nestedRecord(CKA_CLASS, 4);
    Bytes second = nestedRecord(CKA_LABEL, 3);
    nested.insert(nested.end(), second.begin(), second.end());
    attributes.attributes.push_back(fuzzreq::bytes(CKA_WRAP_TEMPLATE, nested));
    fuzzreq::Attribute unavailable;
    unavailable.type = CKA_VALUE;
    unavailable.length = 0xFFFFFFFFu;
    attributes.attributes.push_back(unavailable);
    fuzzreq::Attribute shortValue = fuzzreq::bytes(CKA_ID, {1, 2});
    shortValue.length = 9;
    attributes.attributes.push_back(shortValue);
    Seed(t, "attributes")
        .u8(1).u8(5)
        .u8(0).u8(8)       // class, 8 bytes
        .u8(4).u8(1)       // token, 1 byte
        .u8(9).u8(0x80).u16(16)  // label, 16 bytes
        .u8(14).u8(2)      // wrap template, two nested records
        .u8(11).u8(0xFF)   // value, size query
        .u8(10).u8(4)      // id, 4 bytes
        .u8(7)
        .reply(attributes);

    // One attribute more than the table holds.
    {
        Response many = answer(0);
        Seed s(t, "attributes-41");
        s.u8(1).u8(40);
        for (uint32_t i = 0; i < 41; ++i) {
            s.u8(0xF0).u32(0x80000100 + i).u8(4);  // vendor types, 4 bytes each
            many.attributes.push_back(fuzzreq::bytes(0x80000100 + i, le32(i)));
        }
        s.u8(7).reply(many);
    }
    Seed(t, "find-objects").u8(2).u16(4).reply(withData(0, filled(12)));
    Seed(t, "digest-pieces").u8(3).u16(4500).reply(answer(0)).reply(answer(0)).reply(answer(0));
    Seed(t, "random").u8(4).u16(100).reply(withData(0, filled(100)));

    Response token = answer(0);
    TokenInfoMsg info = TokenInfoMsg_init_zero;
    dravenholt::wire::setBytesField(info.label.bytes, info.label.size, sizeof info.label.bytes, "fuzz token");
    dravenholt::wire::setBytesField(info.serialNumber.bytes, info.serialNumber.size, sizeof info.serialNumber.bytes,
                                    "0123456789AB");
    info.maxPinLen = 32;
    token.tokenInfo = info;
    Seed(t, "token-info").u8(5).u8(1).reply(token);
    Response session = answer(0);
    session.sessionInfo = SessionInfoMsg{CKS_RW_USER_FUNCTIONS, CKF_RW_SESSION | CKF_SERIAL_SESSION, 0};
    Seed(t, "session-info").u8(5).u8(0).reply(session);

    Response size = answer(0);
    size.length = 0xFFFFFFFFu;
    Seed(t, "object-size").u8(6).u8(3).reply(size);
    Response handles = answer(0);
    handles.handle = 9;
    handles.handle2 = 10;
    Seed(t, "key-pair").u8(7).u8(1).reply(handles);
    Seed(t, "open-close").u8(7).u8(2).reply(handles).reply(answer(0));

    Seed(t, "log").u8(8).u8(1).u16(64).reply(withData(0, filled(20)));
    Response piece = withData(CKR_OPERATION_ACTIVE, filled(1000));
    piece.handle = 1;
    Seed(t, "backup").u8(9).u16(3000).reply(piece).reply(piece).reply(withData(0, filled(500)));
    Seed(t, "bitcoin-pub").u8(10).u8(2).u16(65).reply(withData(0, filled(65)));
    Seed(t, "bitcoin-sign").u8(10).u8(0x41).u16(72).reply(withData(0, filled(70)));
    Response config = answer(0);
    config.config = TokenConfigMsg{true, 3, true, 10, true, 4, true, 0x0102};
    Seed(t, "token-config").u8(10).u8(0x80).u16(0).reply(config);
    Seed(t, "has-bitcoin-key").u8(10).u8(0xC0).u16(0).reply(answer(0)).reply(withData(0, le32(4))).reply(answer(0));
}

// HID report framing: report ID 2, packet type 0 (with the 24-bit length) or 1.
Bytes firstReport(size_t reportLength, const Bytes& message, size_t& sent) {
    Bytes r(reportLength, 0);
    r[0] = 2;
    r[2] = message.size() & 0xFF;
    r[3] = (message.size() >> 8) & 0xFF;
    r[4] = (message.size() >> 16) & 0xFF;
    sent = std::min(message.size(), reportLength - 5);
    std::copy_n(message.begin(), sent, r.begin() + 5);
    return r;
}

Bytes furtherReport(size_t reportLength, const Bytes& message, size_t& sent) {
    Bytes r(reportLength, 0);
    r[0] = 2;
    r[1] = 1;
    size_t n = std::min(message.size() - sent, reportLength - 2);
    std::copy_n(message.begin() + sent, n, r.begin() + 2);
    sent += n;
    return r;
}

Seed& report(Seed& s, const Bytes& r) {
    if (r.size() < 0xF0) return s.u8(0).u8(static_cast<uint8_t>(r.size())).raw(r);
    return s.u8(0).u8(0xF0).u16(static_cast<uint16_t>(r.size())).raw(r);
}

Seed& framedReply(Seed& s, size_t reportLength, const Bytes& message) {
    size_t sent = 0;
    report(s, firstReport(reportLength, message, sent));
    while (sent < message.size()) report(s, furtherReport(reportLength, message, sent));
    return s;
}

Bytes u2fFrame(uint32_t channel, uint8_t commandOrSequence, const Bytes& payload, size_t at, size_t announced) {
    Bytes f(64, 0xEE);
    for (int i = 0; i < 4; ++i) f[i] = static_cast<uint8_t>(channel >> (24 - 8 * i));
    f[4] = commandOrSequence;
    size_t offset = 5;
    if (commandOrSequence & 0x80) {
        f[5] = static_cast<uint8_t>(announced >> 8);
        f[6] = static_cast<uint8_t>(announced);
        offset = 7;
    }
    for (size_t i = 0; offset + i < 64 && at + i < payload.size(); ++i) f[offset + i] = payload[at + i];
    return f;
}

void hidSeeds() {
    const char* t = "hid_reassembly";
    const Bytes message = filled(100);
    const size_t lengths[] = {65, 8, 301};
    for (uint8_t i = 0; i < 3; ++i) {
        Seed s(t, "reports-" + std::to_string(lengths[i]));
        s.u8(i);
        framedReply(s, lengths[i], message).u8(3).u16(30).u8(3).u16(2048);
        s.u8(4).run(filled(150)).u8(2).u8(3).u16(10);
    }
    {
        Seed s(t, "reports-interrupted");
        s.u8(0);
        size_t sent = 0;
        report(s, firstReport(65, message, sent));
        report(s, firstReport(65, filled(10), sent)).u8(3).u16(2048).u8(5).u8(3).u16(64);
    }
    const uint32_t channel = 0x01020304;
    {
        Seed s(t, "u2f-reply");
        s.u8(3);
        report(s, u2fFrame(channel ^ 0x40000000, 0xC0, message, 0, 100));  // another channel
        report(s, u2fFrame(channel, 0xC0, message, 0, message.size()));
        report(s, u2fFrame(channel, 0x00, message, 57, 0)).u8(3).u16(60).u8(3).u16(2048);
    }
    {
        Seed s(t, "u2f-broken");
        s.u8(3);
        report(s, u2fFrame(channel, 0xBF, {0x06}, 0, 1)).u8(3).u16(100);
        report(s, u2fFrame(channel, 0xC0, filled(200), 0, 200));
        report(s, u2fFrame(channel, 0x01, filled(200), 57, 0)).u8(3).u16(2048).u8(4).run(filled(80));
    }
    {
        Seed s(t, "handshake");
        s.u8(3);
        Bytes answer = filled(17);
        report(s, u2fFrame(0xFFFFFFFF, 0x86, answer, 0, 17)).u8(7).u8(1);
    }
    {
        Seed s(t, "enumeration-strings");
        s.u8(0).u8(7).u8(2);
        for (const std::string text : {"Dravenholtique", "Orvo", "0123456789AB"}) {
            s.u8(static_cast<uint8_t>(text.size()));
            for (char ch : text) s.u16(static_cast<uint8_t>(ch)).u8(0);
        }
        s.u8(0).u8(1);
    }
    Seed(t, "descriptor").u8(0).u8(7).u8(0).run({0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02, 0x75, 0x08,
                                                 0x95, 0x40, 0x09, 0x01, 0x81, 0x02, 0xA4, 0x85, 0x03, 0xB4, 0xC0});
}

void configSeeds() {
    const char* t = "config_file";
    auto text = [&](const std::string& name, const std::string& json) {
        Seed(t, name).raw(Bytes(json.begin(), json.end()));
    };
    text("full", R"({"logging": {"enabled": true, "loglevel": 10, "logfile": "orvo.log", "logconsole": false},
 "transport": {"vid": 1155, "pid": 41644, "usagePage": 65280, "address": "127.0.0.1", "port": 4433,
               "cacertbundle": "ca.pem", "udp": false},
 "timeout": 5000, "keytimeout": 65000, "lockfile": "orvo.lock"})");
    text("odd-numbers", R"({"timeout": 1e300, "keytimeout": -5, "logging": {"loglevel": 3.7}, "transport": {"vid": -1, "pid": 1e20}})");
    text("no-bundle", R"({"transport": {"address": "device", "port": 1}})");
    text("logging-off", R"({"logging": {"enabled": false, "loglevel": 0}})");
    text("not-an-object", R"([{"timeout": 1}])");
    text("broken", R"({"timeout": )");
}

// The generator of P-256 as an uncompressed point: a valid peer key for ECDH.
const Bytes kP256Generator = {
    0x04, 0x6B, 0x17, 0xD1, 0xF2, 0xE1, 0x2C, 0x42, 0x47, 0xF8, 0xBC, 0xE6, 0xE5, 0x63, 0xA4, 0x40, 0xF2,
    0x77, 0x03, 0x7D, 0x81, 0x2D, 0xEB, 0x33, 0xA0, 0xF4, 0xA1, 0x39, 0x45, 0xD8, 0x98, 0xC2, 0x96,
    0x4F, 0xE3, 0x42, 0xE2, 0xFE, 0x1A, 0x7F, 0x9B, 0x8E, 0xE7, 0xEB, 0x4A, 0x7C, 0x0F, 0x9E, 0x16,
    0x2B, 0xCE, 0x33, 0x57, 0x6B, 0x31, 0x5E, 0xCE, 0xCB, 0xB6, 0x40, 0x68, 0x37, 0xBF, 0x51, 0xF5};

void engineSeeds() {
    const char* t = "engine_requests";
    auto loggedIn = [](Seed& s) {
        Request open = fuzzreq::call(fn::OpenSession);
        open.value = CKF_SERIAL_SESSION | CKF_RW_SESSION;
        Request login = fuzzreq::call(fn::Login, 1);
        login.value = CKU_USER;
        login.data = fuzzreq::kUserPin;
        s.request(open).request(login);
    };
    auto with = [](Request r, auto&& change) {
        change(r);
        return r;
    };
    auto mechanism = [](uint32_t type, Bytes parameter = {}) {
        dravenholt::wire::Mechanism m;
        m.mechanism = type;
        if (!parameter.empty()) {
            m.parameterLength = static_cast<uint32_t>(parameter.size());
            m.parameter = parameter;
        }
        return m;
    };
    {
        Seed s(t, "search");
        loggedIn(s);
        s.request(fuzzreq::call(fn::FindObjectsInit, 1))
            .request(with(fuzzreq::call(fn::FindObjects, 1), [](Request& r) { r.length = 10; }))
            .request(fuzzreq::call(fn::FindObjectsFinal, 1))
            .request(with(fuzzreq::call(fn::GetAttributeValue, 1), [](Request& r) {
                r.handle = 1;
                for (uint32_t type : {CKA_CLASS, CKA_LABEL, CKA_VALUE, CKA_WRAP_TEMPLATE}) {
                    fuzzreq::Attribute a;
                    a.type = type;
                    r.templ.push_back(a);
                }
            }))
            .request(with(fuzzreq::call(fn::GetObjectSize, 1), [](Request& r) { r.handle = 1; }));
    }
    {
        Seed s(t, "sign-verify");
        loggedIn(s);
        s.request(with(fuzzreq::call(fn::SignInit, 1), [&](Request& r) { r.mechanism = mechanism(CKM_ECDSA); r.handle = 4; }))
            .request(with(fuzzreq::call(fn::Sign, 1), [](Request& r) { r.data = filled(32); r.length = 128; }))
            .request(with(fuzzreq::call(fn::VerifyInit, 1), [&](Request& r) { r.mechanism = mechanism(CKM_ECDSA); r.handle = 3; }))
            .request(with(fuzzreq::call(fn::Verify, 1), [](Request& r) { r.data = filled(32); r.data2 = filled(64); }));
    }
    {
        Seed s(t, "encrypt-decrypt");
        loggedIn(s);
        s.request(with(fuzzreq::call(fn::EncryptInit, 1), [&](Request& r) { r.mechanism = mechanism(CKM_AES_CBC_PAD, filled(16)); r.handle = 2; }))
            .request(with(fuzzreq::call(fn::EncryptUpdate, 1), [](Request& r) { r.data = filled(20); r.length = 64; }))
            .request(with(fuzzreq::call(fn::EncryptFinal, 1), [](Request& r) { r.length = 64; }))
            .request(with(fuzzreq::call(fn::DecryptInit, 1), [&](Request& r) { r.mechanism = mechanism(CKM_AES_CBC_PAD, filled(16)); r.handle = 2; }))
            .request(with(fuzzreq::call(fn::Decrypt, 1), [](Request& r) { r.data = filled(32); r.length = 64; }));
    }
    {
        Seed s(t, "digest");
        loggedIn(s);
        s.request(with(fuzzreq::call(fn::DigestInit, 1), [&](Request& r) { r.mechanism = mechanism(CKM_SHA256); }))
            .request(with(fuzzreq::call(fn::DigestUpdate, 1), [](Request& r) { r.data = filled(100); }))
            .request(with(fuzzreq::call(fn::DigestKey, 1), [](Request& r) { r.handle = 2; }))
            .request(with(fuzzreq::call(fn::DigestFinal, 1), [](Request& r) { r.length = 32; }));
    }
    {
        Seed s(t, "objects");
        loggedIn(s);
        s.request(with(fuzzreq::call(fn::CreateObject, 1), [](Request& r) {
             r.templ = {fuzzreq::number(CKA_CLASS, CKO_DATA), fuzzreq::bytes(CKA_VALUE, filled(8))};
         }))
            .request(with(fuzzreq::call(fn::SetAttributeValue, 1), [](Request& r) {
                r.handle = 5;
                r.templ = {fuzzreq::bytes(CKA_LABEL, {'x'})};
            }))
            .request(with(fuzzreq::call(fn::CopyObject, 1), [](Request& r) {
                r.handle = 5;
                r.templ = {fuzzreq::flag(CKA_TOKEN, true)};
            }))
            .request(with(fuzzreq::call(fn::DestroyObject, 1), [](Request& r) { r.handle = 1; }));
    }
    {
        Seed s(t, "wrap-unwrap-derive");
        loggedIn(s);
        s.request(with(fuzzreq::call(fn::WrapKey, 1), [&](Request& r) {
             r.mechanism = mechanism(CKM_AES_CBC_PAD, filled(16));
             r.handle = 2;
             r.handle2 = 2;
             r.length = 100;
         }))
            .request(with(fuzzreq::call(fn::UnwrapKey, 1), [&](Request& r) {
                r.mechanism = mechanism(CKM_AES_CBC_PAD, filled(16));
                r.handle = 2;
                r.data = filled(40);
                r.templ = {fuzzreq::number(CKA_CLASS, CKO_SECRET_KEY), fuzzreq::number(CKA_KEY_TYPE, CKK_AES)};
            }))
            .request(with(fuzzreq::call(fn::DeriveKey, 1), [&](Request& r) {
                r.mechanism = mechanism(CKM_ECDH1_DERIVE);
                r.mechanism->ecdhParams = dravenholt::wire::EcdhParams{CKD_NULL, {}, kP256Generator};
                r.handle = 4;
                r.templ = {fuzzreq::number(CKA_CLASS, CKO_SECRET_KEY), fuzzreq::number(CKA_VALUE_LEN, 16)};
            }));
    }
    {
        Seed s(t, "random-and-pins");
        loggedIn(s);
        s.request(with(fuzzreq::call(fn::SeedRandom, 1), [](Request& r) { r.data = filled(8); }))
            .request(with(fuzzreq::call(fn::GenerateRandom, 1), [](Request& r) { r.length = 64; }))
            .request(with(fuzzreq::call(fn::SetPIN, 1), [](Request& r) { r.data = fuzzreq::kUserPin; r.data2 = filled(8, 'a'); }))
            .request(fuzzreq::call(fn::Logout, 1))
            .request(with(fuzzreq::call(fn::Login, 1), [](Request& r) { r.value = CKU_USER; r.data = filled(8); }))
            .request(fuzzreq::call(fn::GetSessionInfo, 1))
            .request(fuzzreq::call(fn::GetTokenInfo));
    }
    {
        Seed s(t, "administration");
        Request open = fuzzreq::call(fn::OpenSession);
        open.value = CKF_SERIAL_SESSION | CKF_RW_SESSION;
        Request so = fuzzreq::call(fn::Login, 1);
        so.value = CKU_SO;
        so.data = fuzzreq::kSoPin;
        s.request(open).request(so)
            .request(fuzzreq::call(fn::GetTokenConfig))
            .request(with(fuzzreq::call(fn::SetMaxLoginFailCnt), [](Request& r) { r.handle = 5; r.value = 0; }))
            .request(with(fuzzreq::call(fn::SetPasswordLengths), [](Request& r) { r.handle = 6; r.handle2 = 20; }))
            .request(with(fuzzreq::call(fn::ReadLogEntries), [](Request& r) { r.value = 0; r.length = 1000; }))
            .request(with(fuzzreq::call(fn::BackupStorage), [](Request& r) { r.length = 1500; }))
            .request(with(fuzzreq::call(fn::RestoreStorage), [](Request& r) { r.data = filled(40); r.handle = 40; r.handle2 = 40; }));
    }
    {
        Seed s(t, "bitcoin");
        loggedIn(s);
        s.request(with(fuzzreq::call(fn::ImportBitcoinKey, 1), [](Request& r) { r.data = filled(32); }))
            .request(with(fuzzreq::call(fn::GetBitcoinPub, 1), [](Request& r) { r.data = {0x80, 0, 0, 44, 0x80, 0, 0, 0}; r.length = 100; }))
            .request(with(fuzzreq::call(fn::SignBitcoinHash, 1), [](Request& r) {
                r.data = {0x80, 0, 0, 44};
                r.data2 = filled(32);
                r.length = 100;
            }));
    }
    {
        Seed s(t, "reset");
        s.request(with(fuzzreq::call(fn::FactoryReset), [](Request& r) { r.data = fuzzreq::kSoPin; }))
            .request(with(fuzzreq::call(fn::InitToken), [](Request& r) { r.data = fuzzreq::kSoPin; r.data2 = Bytes(32, 'L'); }));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    root = argv[1];
    deviceReplySeeds();
    hidSeeds();
    configSeeds();
    engineSeeds();
    return 0;
}
