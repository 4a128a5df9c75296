// RAII holders for the mbedtls contexts the device uses.
#pragma once

#include <mbedtls/bignum.h>
#include <mbedtls/ecp.h>
#include <mbedtls/md.h>
#include <mbedtls/rsa.h>

#include "common.h"
#include "transport/mbed_holder.h"

namespace dravenholt::sim {

template <class T, void (*Init)(T*), void (*Free)(T*)>
using MbedHolder = mbed::Holder<T, Init, Free>;

using Mpi = MbedHolder<mbedtls_mpi, mbedtls_mpi_init, mbedtls_mpi_free>;
using EcGroup = MbedHolder<mbedtls_ecp_group, mbedtls_ecp_group_init, mbedtls_ecp_group_free>;
using EcPoint = MbedHolder<mbedtls_ecp_point, mbedtls_ecp_point_init, mbedtls_ecp_point_free>;
using MdContext = MbedHolder<mbedtls_md_context_t, mbedtls_md_init, mbedtls_md_free>;

inline void rsaInitDefault(mbedtls_rsa_context* c) { mbedtls_rsa_init(c, MBEDTLS_RSA_PKCS_V15, 0); }
using RsaContext = MbedHolder<mbedtls_rsa_context, rsaInitDefault, mbedtls_rsa_free>;

// Big-endian unsigned bytes of an mpi, left-padded to `width` when given.
Bytes mpiBytes(const mbedtls_mpi& value, size_t width = 0);
bool mpiRead(mbedtls_mpi& target, const Bytes& bytes);

// Compares secrets in time independent of their contents.
bool sameSecret(const uint8_t* a, const uint8_t* b, size_t length);

}  // namespace dravenholt::sim
