// Sessions, login states and the attribute rules of objects.
#include "harness.h"

using namespace simtest;

namespace {

SessionInfoMsg sessionInfo(Device& d, uint32_t s) {
    Response resp = d.call(kGetSessionInfo, s);
    EXPECT_EQ(resp.rv, CKR_OK);
    return resp.sessionInfo.value_or(SessionInfoMsg{});
}

Request setAttributes(uint32_t s, uint32_t object, std::vector<Attribute> templ) {
    Request r;
    r.function = kSetAttributeValue;
    r.session = s;
    r.handle = object;
    r.templ = std::move(templ);
    return r;
}

std::vector<uint32_t> find(Device& d, uint32_t s, std::vector<Attribute> templ) {
    Request init;
    init.function = kFindInit;
    init.session = s;
    init.templ = std::move(templ);
    EXPECT_EQ(d.call(init).rv, CKR_OK);
    std::vector<uint32_t> found;
    for (;;) {
        Request next;
        next.function = kFindObjects;
        next.session = s;
        next.length = 2;
        Bytes batch = d.call(next).data.value_or(Bytes{});
        if (batch.empty()) break;
        for (size_t i = 0; i + 4 <= batch.size(); i += 4)
            found.push_back(batch[i] | batch[i + 1] << 8 | batch[i + 2] << 16 | uint32_t(batch[i + 3]) << 24);
    }
    EXPECT_EQ(d.call(kFindFinal, s).rv, CKR_OK);
    return found;
}

}  // namespace

TEST(Sessions, StatesFollowLoginAndSessionKind) {
    Device d;
    d.readyUserSession();
    EXPECT_EQ(d.call(kCloseAll, 0).rv, CKR_OK);  // also logs out
    uint32_t rw = d.open(true);
    uint32_t ro = d.open(false);
    EXPECT_EQ(sessionInfo(d, rw).state, CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(sessionInfo(d, ro).state, CKS_RO_PUBLIC_SESSION);
    EXPECT_EQ(sessionInfo(d, ro).flags, CKF_SERIAL_SESSION);
    EXPECT_EQ(sessionInfo(d, rw).flags, CKF_SERIAL_SESSION | CKF_RW_SESSION);

    EXPECT_EQ(d.login(rw, CKU_SO, kSoPin), CKR_SESSION_READ_ONLY_EXISTS);
    EXPECT_EQ(d.login(ro, CKU_USER, kUserPin), CKR_OK);
    EXPECT_EQ(sessionInfo(d, rw).state, CKS_RW_USER_FUNCTIONS);  // login is per token
    EXPECT_EQ(sessionInfo(d, ro).state, CKS_RO_USER_FUNCTIONS);
    EXPECT_EQ(d.login(rw, CKU_USER, kUserPin), CKR_USER_ALREADY_LOGGED_IN);
    EXPECT_EQ(d.login(rw, CKU_SO, kSoPin), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
    EXPECT_EQ(d.login(rw, 7, kUserPin), CKR_USER_TYPE_INVALID);
    EXPECT_EQ(d.call(kLogout, ro).rv, CKR_OK);
    EXPECT_EQ(d.call(kLogout, ro).rv, CKR_USER_NOT_LOGGED_IN);

    EXPECT_EQ(d.call(kCloseSession, ro).rv, CKR_OK);
    EXPECT_EQ(d.login(rw, CKU_SO, kSoPin), CKR_OK);
    EXPECT_EQ(sessionInfo(d, rw).state, CKS_RW_SO_FUNCTIONS);
    Request roOpen;
    roOpen.function = kOpenSession;
    roOpen.value = CKF_SERIAL_SESSION;
    EXPECT_EQ(d.call(roOpen).rv, CKR_SESSION_READ_WRITE_SO_EXISTS);
}

TEST(Sessions, OpenSessionChecksFlagsAndClosedHandlesAreInvalid) {
    Device d;
    Request r;
    r.function = kOpenSession;
    r.value = CKF_RW_SESSION;
    EXPECT_EQ(d.call(r).rv, CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    uint32_t s = d.open();
    EXPECT_EQ(d.call(kCloseSession, s).rv, CKR_OK);
    EXPECT_EQ(d.call(kGetSessionInfo, s).rv, CKR_SESSION_HANDLE_INVALID);
    Request noSession;
    noSession.function = kGetSessionInfo;
    EXPECT_EQ(d.call(noSession).rv, CKR_SESSION_HANDLE_INVALID);
}

TEST(Sessions, LoginBeforeInitialisationIsRefused) {
    Device d;
    uint32_t s = d.open();
    EXPECT_EQ(d.login(s, CKU_USER, kUserPin), CKR_USER_PIN_NOT_INITIALIZED);
    EXPECT_EQ(d.login(s, CKU_SO, kSoPin), CKR_USER_PIN_NOT_INITIALIZED);
}

TEST(Sessions, InitPinNeedsTheSoInARwSession) {
    Device d;
    d.initToken();
    uint32_t s = d.open();
    Request init;
    init.function = kInitPin;
    init.session = s;
    init.data = kUserPin;
    EXPECT_EQ(d.call(init).rv, CKR_USER_NOT_LOGGED_IN);
}

TEST(Objects, SessionObjectsVanishWithTheirSession) {
    Device d;
    uint32_t a = d.readyUserSession();
    uint32_t b = d.open();
    uint32_t obj = d.create(b, {num(CKA_CLASS, CKO_DATA), text(CKA_LABEL, "temp")});
    EXPECT_EQ(d.attribute(a, obj, CKA_LABEL), toBytes("temp"));  // visible to other sessions
    EXPECT_EQ(d.call(kCloseSession, b).rv, CKR_OK);
    EXPECT_EQ(d.getAttributes(a, obj, {CKA_LABEL}).rv, CKR_OBJECT_HANDLE_INVALID);
}

TEST(Objects, PrivateObjectsNeedTheUserAndTokenObjectsARwSession) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t priv = d.create(s, {num(CKA_CLASS, CKO_DATA), flag(CKA_PRIVATE, true), flag(CKA_TOKEN, true)});
    uint32_t pub = d.create(s, {num(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, true)});
    EXPECT_EQ(find(d, s, {num(CKA_CLASS, CKO_DATA)}).size(), 2u);
    EXPECT_EQ(d.call(kLogout, s).rv, CKR_OK);
    EXPECT_EQ(find(d, s, {num(CKA_CLASS, CKO_DATA)}), std::vector<uint32_t>{pub});
    EXPECT_EQ(d.getAttributes(s, priv, {CKA_CLASS}).rv, CKR_OBJECT_HANDLE_INVALID);

    Request create;
    create.function = kCreateObject;
    create.session = s;
    create.templ = {num(CKA_CLASS, CKO_DATA), flag(CKA_PRIVATE, true)};
    EXPECT_EQ(d.call(create).rv, CKR_USER_NOT_LOGGED_IN);
    uint32_t ro = d.open(false);
    create.session = ro;
    create.templ = {num(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, true)};
    EXPECT_EQ(d.call(create).rv, CKR_SESSION_READ_ONLY);
    Request destroy;
    destroy.function = kDestroyObject;
    destroy.session = ro;
    destroy.handle = pub;
    EXPECT_EQ(d.call(destroy).rv, CKR_SESSION_READ_ONLY);
}

TEST(Objects, GetAttributeValueReportsEachAttributeOnItsOwn) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, Bytes(16, 7), {text(CKA_LABEL, "aes"), flag(CKA_SENSITIVE, true)});
    Response resp = d.getAttributes(s, key, {CKA_CLASS, CKA_VALUE, CKA_MODULUS, CKA_LABEL, CKA_SENSITIVE});
    EXPECT_EQ(resp.rv, CKR_ATTRIBUTE_SENSITIVE);
    ASSERT_EQ(resp.attributes.size(), 5u);
    EXPECT_EQ(resp.attributes[0].number, CKO_SECRET_KEY);
    EXPECT_EQ(resp.attributes[1].length, 0xFFFFFFFFu);
    EXPECT_FALSE(resp.attributes[1].value);
    EXPECT_EQ(resp.attributes[2].length, 0xFFFFFFFFu);
    EXPECT_EQ(resp.attributes[3].value, toBytes("aes"));
    EXPECT_EQ(resp.attributes[4].flag, true);

    EXPECT_EQ(d.getAttributes(s, key, {CKA_MODULUS}).rv, CKR_ATTRIBUTE_TYPE_INVALID);
    // Key history kept by the token.
    EXPECT_EQ(d.attribute(s, key, CKA_LOCAL), Bytes{0});
    EXPECT_EQ(d.attribute(s, key, CKA_ALWAYS_SENSITIVE), Bytes{0});
    EXPECT_EQ(d.attribute(s, key, CKA_VALUE_LEN), le32(16));
}

TEST(Objects, ExtractableNonSensitiveValueIsReadable) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, Bytes(16, 7), {flag(CKA_SENSITIVE, false)});
    EXPECT_EQ(d.attribute(s, key, CKA_VALUE), Bytes(16, 7));
    EXPECT_EQ(d.call(setAttributes(s, key, {flag(CKA_EXTRACTABLE, false)})).rv, CKR_OK);
    EXPECT_EQ(d.getAttributes(s, key, {CKA_VALUE}).rv, CKR_ATTRIBUTE_SENSITIVE);
}

TEST(Objects, SetAttributeValueFollowsTheOneWayRules) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, Bytes(16, 1), {flag(CKA_SENSITIVE, false)});
    EXPECT_EQ(d.call(setAttributes(s, key, {flag(CKA_SENSITIVE, true)})).rv, CKR_OK);
    EXPECT_EQ(d.call(setAttributes(s, key, {flag(CKA_SENSITIVE, false)})).rv, CKR_ATTRIBUTE_READ_ONLY);
    EXPECT_EQ(d.call(setAttributes(s, key, {flag(CKA_EXTRACTABLE, true)})).rv, CKR_OK);  // unchanged
    EXPECT_EQ(d.call(setAttributes(s, key, {flag(CKA_EXTRACTABLE, false)})).rv, CKR_OK);
    EXPECT_EQ(d.call(setAttributes(s, key, {flag(CKA_EXTRACTABLE, true)})).rv, CKR_ATTRIBUTE_READ_ONLY);
    EXPECT_EQ(d.call(setAttributes(s, key, {num(CKA_KEY_TYPE, CKK_DES)})).rv, CKR_ATTRIBUTE_READ_ONLY);
    EXPECT_EQ(d.call(setAttributes(s, key, {flag(CKA_LOCAL, true)})).rv, CKR_ATTRIBUTE_READ_ONLY);
    EXPECT_EQ(d.call(setAttributes(s, key, {flag(CKA_TOKEN, true)})).rv, CKR_ATTRIBUTE_READ_ONLY);
    // A refused template changes nothing, not even its valid entries.
    EXPECT_EQ(d.call(setAttributes(s, key, {text(CKA_LABEL, "x"), num(CKA_CLASS, CKO_DATA)})).rv,
              CKR_ATTRIBUTE_READ_ONLY);
    EXPECT_EQ(d.attribute(s, key, CKA_LABEL), Bytes{});
    EXPECT_EQ(d.call(setAttributes(s, key, {text(CKA_LABEL, "renamed")})).rv, CKR_OK);
    EXPECT_EQ(d.attribute(s, key, CKA_LABEL), toBytes("renamed"));
}

TEST(Objects, UnmodifiableAndIndestructibleObjectsStayAsTheyAre) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t obj = d.create(s, {num(CKA_CLASS, CKO_DATA), flag(CKA_MODIFIABLE, false), flag(CKA_DESTROYABLE, false)});
    EXPECT_EQ(d.call(setAttributes(s, obj, {text(CKA_LABEL, "x")})).rv, CKR_ACTION_PROHIBITED);
    Request destroy;
    destroy.function = kDestroyObject;
    destroy.session = s;
    destroy.handle = obj;
    EXPECT_EQ(d.call(destroy).rv, CKR_ACTION_PROHIBITED);
}

TEST(Objects, CopyMayChangeTokenAndLabelButNotClassOrSensitivity) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, Bytes(16, 3));
    Request copy;
    copy.function = kCopyObject;
    copy.session = s;
    copy.handle = key;
    copy.templ = {flag(CKA_TOKEN, true), text(CKA_LABEL, "copy")};
    Response resp = d.call(copy);
    ASSERT_EQ(resp.rv, CKR_OK);
    EXPECT_EQ(d.attribute(s, *resp.handle, CKA_TOKEN), Bytes{1});
    EXPECT_EQ(d.attribute(s, *resp.handle, CKA_LABEL), toBytes("copy"));
    copy.templ = {flag(CKA_SENSITIVE, false)};
    EXPECT_EQ(d.call(copy).rv, CKR_ATTRIBUTE_READ_ONLY);
    uint32_t fixed = d.secretKey(s, CKK_AES, Bytes(16, 3), {flag(CKA_COPYABLE, false)});
    copy.handle = fixed;
    copy.templ = {};
    EXPECT_EQ(d.call(copy).rv, CKR_ACTION_PROHIBITED);
}

TEST(Objects, CreateChecksTemplates) {
    Device d;
    uint32_t s = d.readyUserSession();
    Request r;
    r.function = kCreateObject;
    r.session = s;
    r.templ = {text(CKA_LABEL, "no class")};
    EXPECT_EQ(d.call(r).rv, CKR_TEMPLATE_INCOMPLETE);
    r.templ = {num(CKA_CLASS, CKO_SECRET_KEY), num(CKA_KEY_TYPE, CKK_AES), bytes(CKA_VALUE, Bytes(15, 1))};
    EXPECT_EQ(d.call(r).rv, CKR_ATTRIBUTE_VALUE_INVALID);
    r.templ = {num(CKA_CLASS, CKO_DATA), flag(CKA_LOCAL, true)};
    EXPECT_EQ(d.call(r).rv, CKR_ATTRIBUTE_READ_ONLY);
    r.templ = {num(CKA_CLASS, CKO_DATA), text(CKA_LABEL, "a"), text(CKA_LABEL, "b")};
    EXPECT_EQ(d.call(r).rv, CKR_TEMPLATE_INCONSISTENT);
    r.templ = {bytes(CKA_CLASS, {})};  // a number type in the bytes form
    EXPECT_EQ(d.call(r).rv, CKR_ATTRIBUTE_VALUE_INVALID);
    r.templ = {num(CKA_CLASS, CKO_CERTIFICATE), num(CKA_CERTIFICATE_TYPE, CKC_X_509)};
    EXPECT_EQ(d.call(r).rv, CKR_TEMPLATE_INCOMPLETE);
}

TEST(Objects, FindMatchesTemplatesAndPagesThroughResults) {
    Device d;
    uint32_t s = d.readyUserSession();
    std::vector<uint32_t> labelled;
    for (int i = 0; i < 5; ++i) labelled.push_back(d.create(s, {num(CKA_CLASS, CKO_DATA), text(CKA_LABEL, "same")}));
    d.create(s, {num(CKA_CLASS, CKO_DATA), text(CKA_LABEL, "other")});
    uint32_t key = d.secretKey(s, CKK_AES, Bytes(16, 9));
    EXPECT_EQ(find(d, s, {text(CKA_LABEL, "same")}), labelled);
    EXPECT_EQ(find(d, s, {num(CKA_CLASS, CKO_SECRET_KEY)}), std::vector<uint32_t>{key});
    // A sensitive value is never matched.
    EXPECT_TRUE(find(d, s, {bytes(CKA_VALUE, Bytes(16, 9))}).empty());
    EXPECT_EQ(find(d, s, {}).size(), 7u);

    EXPECT_EQ(d.call(kFindObjects, s).rv, CKR_OPERATION_NOT_INITIALIZED);
    Request init;
    init.function = kFindInit;
    init.session = s;
    EXPECT_EQ(d.call(init).rv, CKR_OK);
    EXPECT_EQ(d.call(init).rv, CKR_OPERATION_ACTIVE);
}

TEST(Objects, ObjectSizeGrowsWithItsAttributes) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t small = d.create(s, {num(CKA_CLASS, CKO_DATA)});
    uint32_t big = d.create(s, {num(CKA_CLASS, CKO_DATA), bytes(CKA_VALUE, Bytes(500, 1))});
    Request r;
    r.function = kGetObjectSize;
    r.session = s;
    r.handle = small;
    uint32_t smallSize = d.call(r).length.value_or(0);
    r.handle = big;
    uint32_t bigSize = d.call(r).length.value_or(0);
    EXPECT_GT(smallSize, 0u);
    EXPECT_EQ(bigSize, smallSize + 500);
}
