// Key material held in object attributes, turned into mbedtls contexts and back.
#pragma once

#include <mbedtls/ecp.h>

#include "mbed.h"
#include "object.h"

namespace dravenholt::sim {

// Supported curves: P-256, P-384 and P-521, named by the DER OID of CKA_EC_PARAMS.
mbedtls_ecp_group_id curveFromParams(const Bytes& ecParams);
Bytes paramsFromCurve(mbedtls_ecp_group_id id);  // empty for an unsupported curve
size_t fieldBytes(const mbedtls_ecp_group& group);

// CKA_EC_POINT is a DER OCTET STRING around the uncompressed point; both that and the bare
// point are accepted on input.
bool readPoint(const mbedtls_ecp_group& group, const Bytes& encoded, mbedtls_ecp_point& out);
Bytes pointAttribute(const mbedtls_ecp_group& group, const mbedtls_ecp_point& point);

Rv loadRsa(const Object& key, RsaContext& ctx);  // public or private as the object holds
void storeRsa(const mbedtls_rsa_context& ctx, Object& pub, Object* priv);
Rv loadEcPublic(const Object& key, EcGroup& group, EcPoint& q);
Rv loadEcPrivate(const Object& key, EcGroup& group, Mpi& d);

// Lengths a secret key of this type may have; false for key types without a fixed rule.
bool secretLengthOk(uint32_t keyType, size_t length);

}  // namespace dravenholt::sim
