// Attribute values through the library to the engine and back: numbers as the host's CK_ULONG,
// truth values as one byte, a value the token keeps secret as the host's unavailable marker.
#include "sim_fixture.h"

using namespace simint;

TEST_F(SimTest, AttributeValuesKeepTheirHostForms) {
    CK_ULONG dataClass = CKO_DATA;
    Bytes value = pattern(300), label = {'k', 'e', 'y'};
    CK_OBJECT_HANDLE data = create({{CKA_CLASS, &dataClass, sizeof dataClass}, {CKA_VALUE, ptr(value), size(value)}});
    CK_ULONG cls = 99;
    CK_BBOOL token = CK_TRUE;
    CK_ATTRIBUTE get[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_TOKEN, &token, sizeof token}};
    ASSERT_EQ(C_GetAttributeValue(session, data, get, 2), CKR_OK);
    EXPECT_EQ(cls, CKO_DATA);
    EXPECT_EQ(get[0].ulValueLen, sizeof(CK_ULONG));
    EXPECT_EQ(token, CK_FALSE);
    EXPECT_EQ(attribute(data, CKA_VALUE), pattern(300));

    CK_ATTRIBUTE rename = {CKA_LABEL, const_cast<char*>("renamed"), 7};
    ASSERT_EQ(C_SetAttributeValue(session, data, &rename, 1), CKR_OK);
    EXPECT_EQ(attribute(data, CKA_LABEL), (Bytes{'r', 'e', 'n', 'a', 'm', 'e', 'd'}));

    CK_OBJECT_HANDLE key = secretKey(CKK_AES, Bytes(16, 4), {{CKA_LABEL, ptr(label), 3}});
    label.assign(3, 0);
    CK_ATTRIBUTE secret[] = {{CKA_VALUE, ptr(value), 16}, {CKA_LABEL, ptr(label), 3}};
    EXPECT_EQ(C_GetAttributeValue(session, key, secret, 2), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(secret[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(label, (Bytes{'k', 'e', 'y'}));
}
