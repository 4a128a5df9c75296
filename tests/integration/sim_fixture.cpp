#include "sim_fixture.h"

#include "frame/context.h"

namespace simint {

void SimTest::SetUp() { dir.useAsConfig(); }

void SimTest::TearDown() { stop(); }

void SimTest::start(size_t count, const std::string& stateDir) {
    devices = dravenholt::sim::installSimulatedDevices(getContext(), count, stateDir);
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    running_ = true;
}

void SimTest::stop() {
    if (running_) C_Finalize(nullptr);
    running_ = false;
    devices.reset();
}

void SimTest::initToken(CK_SLOT_ID slot) {
    std::string label = "integration";
    label.resize(32, ' ');
    ASSERT_EQ(C_InitToken(slot, pin(kSoPin), CK_ULONG(kSoPin.size()), pin(label)), CKR_OK);
}

CK_SESSION_HANDLE SimTest::readyUser(CK_SLOT_ID slot) {
    initToken(slot);
    CK_SESSION_HANDLE s = 0;
    EXPECT_EQ(C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s), CKR_OK);
    EXPECT_EQ(C_Login(s, CKU_SO, pin(kSoPin), CK_ULONG(kSoPin.size())), CKR_OK);
    EXPECT_EQ(C_InitPIN(s, pin(kUserPin), CK_ULONG(kUserPin.size())), CKR_OK);
    EXPECT_EQ(C_Logout(s), CKR_OK);
    EXPECT_EQ(C_Login(s, CKU_USER, pin(kUserPin), CK_ULONG(kUserPin.size())), CKR_OK);
    return s;
}

dravenholt::wire::Response SimTest::direct(CK_SLOT_ID slot, dravenholt::wire::Request req) {
    bool ownSession = req.function != 11;
    if (ownSession) req.session = directSession(slot);
    auto engine = devices->engine(devices->ids().at(slot));
    Bytes encoded;
    EXPECT_TRUE(dravenholt::wire::encodeRequest(req, encoded));
    Bytes reply = engine->process(encoded);
    dravenholt::wire::Response resp;
    EXPECT_TRUE(dravenholt::wire::decodeResponse(reply.data(), reply.size(), resp));
    if (ownSession) {
        dravenholt::wire::Request close;
        close.function = 12;
        close.session = req.session;
        Bytes closing;
        dravenholt::wire::encodeRequest(close, closing);
        engine->process(closing);
    }
    return resp;
}

uint32_t SimTest::directSession(CK_SLOT_ID slot) {
    dravenholt::wire::Request open;
    open.function = 11;
    open.value = CKF_SERIAL_SESSION | CKF_RW_SESSION;
    dravenholt::wire::Response r = direct(slot, open);
    EXPECT_EQ(r.rv, CKR_OK);
    return r.handle.value_or(0);
}

uint32_t SimTest::createDirect(CK_SLOT_ID slot, const std::vector<dravenholt::wire::Attribute>& templ) {
    dravenholt::wire::Request create;
    create.function = 35;
    create.templ = templ;
    create.templ.push_back(flag(CKA_TOKEN, true));
    dravenholt::wire::Response r = direct(slot, create);
    EXPECT_EQ(r.rv, CKR_OK);
    return r.handle.value_or(0);
}

std::pair<uint32_t, uint32_t> SimTest::keyPairDirect(CK_SLOT_ID slot, uint32_t mechanism,
                                                     const std::vector<dravenholt::wire::Attribute>& pub,
                                                     const std::vector<dravenholt::wire::Attribute>& priv) {
    dravenholt::wire::Request gen;
    gen.function = 15;
    gen.mechanism = dravenholt::wire::Mechanism{mechanism, {}, Bytes{}, {}, {}};
    gen.templ = pub;
    gen.templ.push_back(flag(CKA_TOKEN, true));
    gen.templ2 = priv;
    gen.templ2.push_back(flag(CKA_TOKEN, true));
    dravenholt::wire::Response r = direct(slot, gen);
    EXPECT_EQ(r.rv, CKR_OK);
    return {r.handle.value_or(0), r.handle2.value_or(0)};
}

Bytes SimTest::attributeDirect(CK_SLOT_ID slot, uint32_t object, uint32_t type) {
    dravenholt::wire::Request get;
    get.function = 16;
    get.handle = object;
    dravenholt::wire::Attribute a;
    a.type = type;
    get.templ = {a};
    dravenholt::wire::Response r = direct(slot, get);
    EXPECT_EQ(r.rv, CKR_OK);
    if (r.attributes.empty() || !r.attributes[0].value) return {};
    return *r.attributes[0].value;
}

}  // namespace simint
