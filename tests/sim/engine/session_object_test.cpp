// Sessions, login states and the attribute rules of objects.
#include "harness.h"

using namespace simtest;

namespace {

uint32_t state(Device& d, uint32_t s) { return d.call(Call(kGetSessionInfo, s)).sessionInfo.value_or(SessionInfoMsg{}).state; }

Call setAttributes(uint32_t s, uint32_t object, std::vector<Attribute> templ) {
    return Call(kSetAttributeValue, s).handle(object).templ(std::move(templ));
}

Call createCall(uint32_t s, std::vector<Attribute> templ) { return Call(kCreateObject, s).templ(std::move(templ)); }

}  // namespace

TEST(Sessions, StatesFollowLoginAndSessionKind) {
    Device d;
    uint32_t blank = d.open();
    EXPECT_EQ(d.login(blank, CKU_USER, kUserPin), CKR_USER_PIN_NOT_INITIALIZED);
    EXPECT_EQ(d.login(blank, CKU_SO, kSoPin), CKR_USER_PIN_NOT_INITIALIZED);
    EXPECT_EQ(d.rv(Call(kCloseSession, blank)), CKR_OK);
    d.readyUserSession();
    EXPECT_EQ(d.rv(Call(kCloseAll)), CKR_OK);  // also logs out
    uint32_t rw = d.open(true);
    uint32_t ro = d.open(false);
    EXPECT_EQ(state(d, rw), CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(state(d, ro), CKS_RO_PUBLIC_SESSION);
    EXPECT_EQ(d.call(Call(kGetSessionInfo, rw)).sessionInfo->flags, CKF_SERIAL_SESSION | CKF_RW_SESSION);
    EXPECT_EQ(d.rv(Call(kInitPin, rw).data(kUserPin)), CKR_USER_NOT_LOGGED_IN);

    EXPECT_EQ(d.login(rw, CKU_SO, kSoPin), CKR_SESSION_READ_ONLY_EXISTS);
    EXPECT_EQ(d.login(ro, CKU_USER, kUserPin), CKR_OK);
    EXPECT_EQ(state(d, rw), CKS_RW_USER_FUNCTIONS);  // login holds for all sessions of a client
    EXPECT_EQ(state(d, ro), CKS_RO_USER_FUNCTIONS);
    EXPECT_EQ(d.login(rw, CKU_USER, kUserPin), CKR_USER_ALREADY_LOGGED_IN);
    EXPECT_EQ(d.login(rw, CKU_SO, kSoPin), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
    EXPECT_EQ(d.login(rw, 7, kUserPin), CKR_USER_TYPE_INVALID);
    EXPECT_EQ(d.rv(Call(kLogout, ro)), CKR_OK);
    EXPECT_EQ(d.rv(Call(kLogout, ro)), CKR_USER_NOT_LOGGED_IN);

    EXPECT_EQ(d.rv(Call(kCloseSession, ro)), CKR_OK);
    EXPECT_EQ(d.rv(Call(kGetSessionInfo, ro)), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(d.login(rw, CKU_SO, kSoPin), CKR_OK);
    EXPECT_EQ(state(d, rw), CKS_RW_SO_FUNCTIONS);
    EXPECT_EQ(d.rv(Call(kOpenSession).value(CKF_SERIAL_SESSION)), CKR_SESSION_READ_WRITE_SO_EXISTS);
    EXPECT_EQ(d.rv(Call(kOpenSession).value(CKF_RW_SESSION)), CKR_SESSION_PARALLEL_NOT_SUPPORTED);
}

TEST(Objects, PrivateObjectsNeedTheUserTokenObjectsARwSessionAndSessionObjectsTheirSession) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t priv = d.create(s, {num(CKA_CLASS, CKO_DATA), flag(CKA_PRIVATE, true), flag(CKA_TOKEN, true)});
    uint32_t pub = d.create(s, {num(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, true)});
    EXPECT_EQ(d.find(s, {num(CKA_CLASS, CKO_DATA)}).size(), 2u);
    EXPECT_EQ(d.rv(Call(kLogout, s)), CKR_OK);
    EXPECT_EQ(d.find(s, {num(CKA_CLASS, CKO_DATA)}), std::vector<uint32_t>{pub});
    EXPECT_EQ(d.getAttributes(s, priv, {CKA_CLASS}).rv, CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(d.rv(createCall(s, {num(CKA_CLASS, CKO_DATA), flag(CKA_PRIVATE, true)})), CKR_USER_NOT_LOGGED_IN);
    uint32_t ro = d.open(false);
    EXPECT_EQ(d.rv(createCall(ro, {num(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, true)})), CKR_SESSION_READ_ONLY);
    EXPECT_EQ(d.rv(Call(kDestroyObject, ro).handle(pub)), CKR_SESSION_READ_ONLY);
    // A session object is seen from every session of its client and goes with its own session.
    uint32_t temp = d.create(ro, {num(CKA_CLASS, CKO_DATA), text(CKA_LABEL, "temp")});
    EXPECT_EQ(d.attribute(s, temp, CKA_LABEL), toBytes("temp"));
    EXPECT_EQ(d.rv(Call(kCloseSession, ro)), CKR_OK);
    EXPECT_EQ(d.getAttributes(s, temp, {CKA_LABEL}).rv, CKR_OBJECT_HANDLE_INVALID);
}

TEST(Objects, GetAttributeValueReportsEachAttributeOnItsOwn) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, Bytes(16, 7), {text(CKA_LABEL, "aes")});
    Response resp = d.getAttributes(s, key, {CKA_CLASS, CKA_VALUE, CKA_MODULUS, CKA_LABEL, CKA_SENSITIVE});
    EXPECT_EQ(resp.rv, CKR_ATTRIBUTE_SENSITIVE);
    ASSERT_EQ(resp.attributes.size(), 5u);
    EXPECT_EQ(resp.attributes[0].number, CKO_SECRET_KEY);
    EXPECT_EQ(resp.attributes[1].length, 0xFFFFFFFFu);
    EXPECT_FALSE(resp.attributes[1].value);
    EXPECT_EQ(resp.attributes[2].length, 0xFFFFFFFFu);
    EXPECT_EQ(resp.attributes[3].value, toBytes("aes"));
    EXPECT_EQ(resp.attributes[4].flag, true);  // sensitive by default
    EXPECT_EQ(d.getAttributes(s, key, {CKA_MODULUS}).rv, CKR_ATTRIBUTE_TYPE_INVALID);
    // Key history kept by the token.
    EXPECT_EQ(d.attribute(s, key, CKA_LOCAL), Bytes{0});
    EXPECT_EQ(d.attribute(s, key, CKA_ALWAYS_SENSITIVE), Bytes{0});
    EXPECT_EQ(d.attribute(s, key, CKA_VALUE_LEN), le32(16));
}

TEST(Objects, SetAttributeValueFollowsTheOneWayRules) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, Bytes(16, 1), {flag(CKA_SENSITIVE, false)});
    EXPECT_EQ(d.attribute(s, key, CKA_VALUE), Bytes(16, 1));
    EXPECT_EQ(d.rv(setAttributes(s, key, {flag(CKA_EXTRACTABLE, true)})), CKR_OK);  // unchanged
    EXPECT_EQ(d.rv(setAttributes(s, key, {flag(CKA_EXTRACTABLE, false)})), CKR_OK);
    EXPECT_EQ(d.getAttributes(s, key, {CKA_VALUE}).rv, CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(d.rv(setAttributes(s, key, {flag(CKA_EXTRACTABLE, true)})), CKR_ATTRIBUTE_READ_ONLY);
    EXPECT_EQ(d.rv(setAttributes(s, key, {flag(CKA_SENSITIVE, true)})), CKR_OK);
    EXPECT_EQ(d.rv(setAttributes(s, key, {flag(CKA_SENSITIVE, false)})), CKR_ATTRIBUTE_READ_ONLY);
    for (const Attribute& fixed : {num(CKA_KEY_TYPE, CKK_DES), flag(CKA_LOCAL, true), flag(CKA_TOKEN, true)})
        EXPECT_EQ(d.rv(setAttributes(s, key, {fixed})), CKR_ATTRIBUTE_READ_ONLY) << fixed.type;
    // A refused template changes nothing, not even its valid entries.
    EXPECT_EQ(d.rv(setAttributes(s, key, {text(CKA_LABEL, "x"), num(CKA_CLASS, CKO_DATA)})), CKR_ATTRIBUTE_READ_ONLY);
    EXPECT_EQ(d.attribute(s, key, CKA_LABEL), Bytes{});
    EXPECT_EQ(d.rv(setAttributes(s, key, {text(CKA_LABEL, "renamed")})), CKR_OK);
    EXPECT_EQ(d.attribute(s, key, CKA_LABEL), toBytes("renamed"));

    uint32_t fixed = d.create(s, {num(CKA_CLASS, CKO_DATA), flag(CKA_MODIFIABLE, false), flag(CKA_DESTROYABLE, false)});
    EXPECT_EQ(d.rv(setAttributes(s, fixed, {text(CKA_LABEL, "x")})), CKR_ACTION_PROHIBITED);
    EXPECT_EQ(d.rv(Call(kDestroyObject, s).handle(fixed)), CKR_ACTION_PROHIBITED);
}

TEST(Objects, CopyMayChangeTokenAndLabelButNotSensitivity) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, Bytes(16, 3));
    Response copy = d.call(Call(kCopyObject, s).handle(key).templ({flag(CKA_TOKEN, true), text(CKA_LABEL, "copy")}));
    ASSERT_EQ(copy.rv, CKR_OK);
    EXPECT_EQ(d.attribute(s, *copy.handle, CKA_TOKEN), Bytes{1});
    EXPECT_EQ(d.attribute(s, *copy.handle, CKA_LABEL), toBytes("copy"));
    EXPECT_EQ(d.rv(Call(kCopyObject, s).handle(key).templ({flag(CKA_SENSITIVE, false)})), CKR_ATTRIBUTE_READ_ONLY);
    uint32_t fixed = d.secretKey(s, CKK_AES, Bytes(16, 3), {flag(CKA_COPYABLE, false)});
    EXPECT_EQ(d.rv(Call(kCopyObject, s).handle(fixed)), CKR_ACTION_PROHIBITED);
}

TEST(Objects, CreateChecksTemplates) {
    Device d;
    uint32_t s = d.readyUserSession();
    struct Case {
        std::vector<Attribute> templ;
        uint32_t rv;
    } cases[] = {
        {{text(CKA_LABEL, "no class")}, CKR_TEMPLATE_INCOMPLETE},
        {{num(CKA_CLASS, CKO_SECRET_KEY), num(CKA_KEY_TYPE, CKK_AES), bytes(CKA_VALUE, Bytes(15, 1))}, CKR_ATTRIBUTE_VALUE_INVALID},
        {{num(CKA_CLASS, CKO_DATA), flag(CKA_LOCAL, true)}, CKR_ATTRIBUTE_READ_ONLY},
        {{num(CKA_CLASS, CKO_DATA), text(CKA_LABEL, "a"), text(CKA_LABEL, "b")}, CKR_TEMPLATE_INCONSISTENT},
        {{bytes(CKA_CLASS, {})}, CKR_ATTRIBUTE_VALUE_INVALID},  // a number type in the bytes form
        {{num(CKA_CLASS, CKO_CERTIFICATE), num(CKA_CERTIFICATE_TYPE, CKC_X_509)}, CKR_TEMPLATE_INCOMPLETE},
    };
    for (const Case& c : cases) EXPECT_EQ(d.rv(createCall(s, c.templ)), c.rv);
}

TEST(Objects, FindMatchesTemplatesAndPagesThroughResults) {
    Device d;
    uint32_t s = d.readyUserSession();
    std::vector<uint32_t> labelled;
    for (int i = 0; i < 5; ++i) labelled.push_back(d.create(s, {num(CKA_CLASS, CKO_DATA), text(CKA_LABEL, "same")}));
    d.create(s, {num(CKA_CLASS, CKO_DATA), text(CKA_LABEL, "other")});
    uint32_t key = d.secretKey(s, CKK_AES, Bytes(16, 9));
    EXPECT_EQ(d.find(s, {text(CKA_LABEL, "same")}), labelled);
    EXPECT_EQ(d.find(s, {num(CKA_CLASS, CKO_SECRET_KEY)}), std::vector<uint32_t>{key});
    EXPECT_TRUE(d.find(s, {bytes(CKA_VALUE, Bytes(16, 9))}).empty());  // a sensitive value is never matched
    EXPECT_EQ(d.find(s, {}).size(), 7u);
    EXPECT_EQ(d.rv(Call(kFindInit, s)), CKR_OK);
    EXPECT_EQ(d.rv(Call(kFindInit, s)), CKR_OPERATION_ACTIVE);
    // An object's size grows with its attributes.
    uint32_t big = d.create(s, {num(CKA_CLASS, CKO_DATA), text(CKA_LABEL, "same"), bytes(CKA_VALUE, Bytes(500, 1))});
    EXPECT_EQ(d.call(Call(kGetObjectSize, s).handle(big)).length, d.call(Call(kGetObjectSize, s).handle(labelled[0])).length.value_or(0) + 500);
}
