// Object life cycle and attribute rules through the exported functions.
#include "sim_fixture.h"

using namespace simint;

TEST_F(SimTest, ObjectLifeCycleAndAttributeRules) {
    start();
    CK_SESSION_HANDLE s = readyUser();
    CK_OBJECT_HANDLE data = create(s, Template().ulong(CKA_CLASS, CKO_DATA).bytes(CKA_LABEL, {'d', 'a', 't', 'a'}).bytes(CKA_VALUE, pattern(300)));
    CK_ULONG size = 0;
    ASSERT_EQ(C_GetObjectSize(s, data, &size), CKR_OK);
    EXPECT_GT(size, 300u);

    // Numbers come back in the host's CK_ULONG, truth values as one byte.
    CK_ULONG cls = 99;
    CK_BBOOL token = CK_TRUE;
    CK_ATTRIBUTE get[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_TOKEN, &token, sizeof token}};
    ASSERT_EQ(C_GetAttributeValue(s, data, get, 2), CKR_OK);
    EXPECT_EQ(cls, CKO_DATA);
    EXPECT_EQ(token, CK_FALSE);

    CK_ATTRIBUTE rename = {CKA_LABEL, const_cast<char*>("renamed"), 7};
    ASSERT_EQ(C_SetAttributeValue(s, data, &rename, 1), CKR_OK);
    EXPECT_EQ(attribute(s, data, CKA_LABEL), (Bytes{'r', 'e', 'n', 'a', 'm', 'e', 'd'}));
    CK_OBJECT_CLASS other = CKO_CERTIFICATE;
    CK_ATTRIBUTE reclass = {CKA_CLASS, &other, sizeof other};
    EXPECT_EQ(C_SetAttributeValue(s, data, &reclass, 1), CKR_ATTRIBUTE_READ_ONLY);

    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE toToken = {CKA_TOKEN, &yes, sizeof yes};
    CK_OBJECT_HANDLE copy = 0;
    ASSERT_EQ(C_CopyObject(s, data, &toToken, 1, &copy), CKR_OK);
    EXPECT_EQ(attribute(s, copy, CKA_TOKEN), Bytes{CK_TRUE});
    ASSERT_EQ(C_DestroyObject(s, data), CKR_OK);
    EXPECT_EQ(C_GetObjectSize(s, data, &size), CKR_OBJECT_HANDLE_INVALID);
}

TEST_F(SimTest, SensitiveValuesAreUnavailableAndOtherRecordsStillFilled) {
    start();
    CK_SESSION_HANDLE s = readyUser();
    CK_OBJECT_HANDLE key = secretKey(s, CKK_AES, Bytes(16, 4), Template().bytes(CKA_LABEL, {'k', 'e', 'y'}));
    Bytes value(16), label(3);
    CK_ATTRIBUTE get[] = {{CKA_VALUE, value.data(), 16}, {CKA_LABEL, label.data(), 3}};
    EXPECT_EQ(C_GetAttributeValue(s, key, get, 2), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(get[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(label, (Bytes{'k', 'e', 'y'}));

    Bytes small(2);
    CK_ATTRIBUTE tooSmall = {CKA_LABEL, small.data(), 2};
    EXPECT_EQ(C_GetAttributeValue(s, key, &tooSmall, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall.ulValueLen, CK_UNAVAILABLE_INFORMATION);
}

TEST_F(SimTest, SearchSessionObjectsAndPrivacy) {
    start();
    CK_SESSION_HANDLE s = readyUser();
    CK_SESSION_HANDLE other = 0;
    ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &other), CKR_OK);
    create(other, Template().ulong(CKA_CLASS, CKO_DATA).bytes(CKA_LABEL, {'x'}));
    create(s, Template().ulong(CKA_CLASS, CKO_DATA).bytes(CKA_LABEL, {'x'}).boolean(CKA_PRIVATE, true).boolean(CKA_TOKEN, true));
    auto count = [&](CK_SESSION_HANDLE in) {
        Template templ = Template().bytes(CKA_LABEL, {'x'});
        EXPECT_EQ(C_FindObjectsInit(in, templ.data(), templ.size()), CKR_OK);
        CK_OBJECT_HANDLE found[8];
        CK_ULONG n = 0;
        EXPECT_EQ(C_FindObjects(in, found, 8, &n), CKR_OK);
        EXPECT_EQ(C_FindObjectsFinal(in), CKR_OK);
        return n;
    };
    EXPECT_EQ(count(s), 2u);
    ASSERT_EQ(C_CloseSession(other), CKR_OK);  // its session object goes with it
    EXPECT_EQ(count(s), 1u);
    ASSERT_EQ(C_Logout(s), CKR_OK);  // the private token object is hidden
    EXPECT_EQ(count(s), 0u);
}

TEST_F(SimTest, RandomBytesArriveInPiecesAndSeedingIsAccepted) {
    start();
    CK_SESSION_HANDLE s = 0;
    ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &s), CKR_OK);
    Bytes a(2500, 0), b(2500, 0);
    ASSERT_EQ(C_GenerateRandom(s, ptr(a), CK_ULONG(a.size())), CKR_OK);
    Bytes seed = pattern(64);
    ASSERT_EQ(C_SeedRandom(s, ptr(seed), CK_ULONG(seed.size())), CKR_OK);
    ASSERT_EQ(C_GenerateRandom(s, ptr(b), CK_ULONG(b.size())), CKR_OK);
    EXPECT_NE(a, b);
    // The last piece (bytes 2048 on) was filled as well.
    EXPECT_NE(Bytes(a.begin() + 2048, a.end()), Bytes(452, 0));
}
