#include "harness.h"

#include <random>

namespace simtest {

Attribute num(uint32_t type, uint32_t value) {
    Attribute a;
    a.type = type;
    a.number = value;
    return a;
}

Attribute flag(uint32_t type, bool value) {
    Attribute a;
    a.type = type;
    a.flag = value;
    return a;
}

Attribute bytes(uint32_t type, const Bytes& value) {
    Attribute a;
    a.type = type;
    a.length = uint32_t(value.size());
    if (!value.empty()) a.value = value;
    return a;
}

Attribute text(uint32_t type, const std::string& value) { return bytes(type, toBytes(value)); }

Bytes toBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes hex(const std::string& h) {
    Bytes out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(uint8_t(std::stoul(h.substr(i, 2), nullptr, 16)));
    return out;
}

std::string toHex(const Bytes& b) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (uint8_t c : b) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

Mechanism mech(uint32_t type, const Bytes& parameter) {
    Mechanism m;
    m.mechanism = type;
    m.parameterLength = uint32_t(parameter.size());
    m.parameter = parameter;
    return m;
}

Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

Device::Device(dravenholt::sim::EngineOptions options)
    : engine_(std::make_unique<dravenholt::sim::Engine>(std::move(options))) {}

void Device::restart(dravenholt::sim::EngineOptions options) {
    engine_.reset();
    engine_ = std::make_unique<dravenholt::sim::Engine>(std::move(options));
}

Response Device::call(const Request& req) {
    Bytes encoded;
    std::string error;
    EXPECT_TRUE(dravenholt::wire::encodeRequest(req, encoded, 2048, &error)) << error;
    Bytes reply = engine_->process(encoded);
    EXPECT_LE(reply.size(), 2048u);
    Response resp;
    EXPECT_TRUE(dravenholt::wire::decodeResponse(reply.data(), reply.size(), resp, &error)) << error;
    return resp;
}

void Device::initToken(const std::string& label) {
    Request r;
    r.function = kInitToken;
    r.data = kSoPin;
    std::string padded = label;
    padded.resize(32, ' ');
    r.data2 = toBytes(padded);
    ASSERT_EQ(call(r).rv, CKR_OK);
}

uint32_t Device::open(bool rw) {
    Request r;
    r.function = kOpenSession;
    r.value = CKF_SERIAL_SESSION | (rw ? CKF_RW_SESSION : 0);
    Response resp = call(r);
    EXPECT_EQ(resp.rv, CKR_OK);
    return resp.handle.value_or(0);
}

uint32_t Device::login(uint32_t session, uint32_t userType, const Bytes& pin) {
    Request r;
    r.function = kLogin;
    r.session = session;
    r.value = userType;
    r.data = pin;
    return call(r).rv;
}

uint32_t Device::readyUserSession() {
    initToken();
    uint32_t s = open(true);
    EXPECT_EQ(login(s, CKU_SO, kSoPin), CKR_OK);
    Request r;
    r.function = kInitPin;
    r.session = s;
    r.data = kUserPin;
    EXPECT_EQ(call(r).rv, CKR_OK);
    EXPECT_EQ(call(kLogout, s).rv, CKR_OK);
    EXPECT_EQ(login(s, CKU_USER, kUserPin), CKR_OK);
    return s;
}

uint32_t Device::create(uint32_t session, const std::vector<Attribute>& templ) {
    Request r;
    r.function = kCreateObject;
    r.session = session;
    r.templ = templ;
    Response resp = call(r);
    EXPECT_EQ(resp.rv, CKR_OK);
    return resp.handle.value_or(0);
}

Response Device::getAttributes(uint32_t session, uint32_t object, std::initializer_list<uint32_t> types) {
    Request r;
    r.function = kGetAttributeValue;
    r.session = session;
    r.handle = object;
    for (uint32_t t : types) {
        Attribute a;
        a.type = t;
        r.templ.push_back(a);
    }
    return call(r);
}

Bytes Device::attribute(uint32_t session, uint32_t object, uint32_t type) {
    Response resp = getAttributes(session, object, {type});
    EXPECT_EQ(resp.rv, CKR_OK);
    if (resp.attributes.size() != 1) return {};
    const Attribute& a = resp.attributes[0];
    if (a.number) return le32(*a.number);
    if (a.flag) return Bytes{uint8_t(*a.flag)};
    return a.value.value_or(Bytes{});
}

uint32_t Device::secretKey(uint32_t session, uint32_t keyType, const Bytes& value, std::vector<Attribute> extra) {
    std::vector<Attribute> templ = {num(CKA_CLASS, CKO_SECRET_KEY), num(CKA_KEY_TYPE, keyType),
                                    bytes(CKA_VALUE, value)};
    templ.insert(templ.end(), extra.begin(), extra.end());
    return create(session, templ);
}

Bytes Device::crypt(uint32_t session, bool encrypt, const Mechanism& m, uint32_t key, const Bytes& in) {
    Request init;
    init.function = encrypt ? kEncryptInit : kDecryptInit;
    init.session = session;
    init.mechanism = m;
    init.handle = key;
    EXPECT_EQ(call(init).rv, CKR_OK);
    Request run;
    run.function = encrypt ? kEncrypt : kDecrypt;
    run.session = session;
    run.data = in;
    run.length = 2048;
    Response resp = call(run);
    EXPECT_EQ(resp.rv, CKR_OK);
    return resp.data.value_or(Bytes{});
}

Bytes Device::signData(uint32_t session, const Mechanism& m, uint32_t key, const Bytes& data) {
    Request init;
    init.function = kSignInit;
    init.session = session;
    init.mechanism = m;
    init.handle = key;
    EXPECT_EQ(call(init).rv, CKR_OK);
    Request run;
    run.function = kSign;
    run.session = session;
    run.data = data;
    run.length = 1024;
    Response resp = call(run);
    EXPECT_EQ(resp.rv, CKR_OK);
    return resp.data.value_or(Bytes{});
}

uint32_t Device::verifyData(uint32_t session, const Mechanism& m, uint32_t key, const Bytes& data,
                            const Bytes& signature) {
    Request init;
    init.function = kVerifyInit;
    init.session = session;
    init.mechanism = m;
    init.handle = key;
    EXPECT_EQ(call(init).rv, CKR_OK);
    Request run;
    run.function = kVerify;
    run.session = session;
    run.data = data;
    run.data2 = signature;
    return call(run).rv;
}

Bytes Device::digest(uint32_t session, const Mechanism& m, const Bytes& data) {
    Request init;
    init.function = kDigestInit;
    init.session = session;
    init.mechanism = m;
    EXPECT_EQ(call(init).rv, CKR_OK);
    // Pieces of at most 2000 bytes, as the library sends them.
    size_t off = 0;
    do {
        Request update;
        update.function = kDigestUpdate;
        update.session = session;
        size_t piece = std::min<size_t>(2000, data.size() - off);
        update.data = Bytes(data.begin() + long(off), data.begin() + long(off + piece));
        EXPECT_EQ(call(update).rv, CKR_OK);
        off += piece;
    } while (off < data.size());
    Request fin;
    fin.function = kDigestFinal;
    fin.session = session;
    fin.length = 64;
    Response resp = call(fin);
    EXPECT_EQ(resp.rv, CKR_OK);
    return resp.data.value_or(Bytes{});
}

std::pair<uint32_t, uint32_t> Device::keyPair(uint32_t session, const Mechanism& m, std::vector<Attribute> pub,
                                              std::vector<Attribute> priv) {
    Request r;
    r.function = kGenerateKeyPair;
    r.session = session;
    r.mechanism = m;
    r.templ = std::move(pub);
    r.templ2 = std::move(priv);
    Response resp = call(r);
    EXPECT_EQ(resp.rv, CKR_OK);
    return {resp.handle.value_or(0), resp.handle2.value_or(0)};
}

TempDir::TempDir() {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() / ("orvo-sim-test-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace simtest
