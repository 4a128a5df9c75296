// PKCS#11 declarations of the platform (p11-kit's header) and the export attribute.
//
// p11-kit's header gives each platform its standard binary interface: on Windows (_WIN32, which
// mingw-w64 defines) structures packed to 1 byte and the 32-bit unsigned long as CK_ULONG; on
// Linux the native layout with a 64-bit CK_ULONG.
#pragma once

#ifdef _WIN32
// This library defines the functions that the header declares: exported, not imported.
#define CRYPTOKI_EXPORTS
#endif

#include <p11-kit/pkcs11.h>

#ifdef _WIN32
#define ORVO_EXPORT extern "C" __declspec(dllexport)

// The Windows binary interface that applications are built against.
static_assert(sizeof(CK_ULONG) == 4);
static_assert(sizeof(CK_ATTRIBUTE) == 16);
static_assert(sizeof(CK_MECHANISM) == 16);
static_assert(sizeof(CK_RSA_PKCS_OAEP_PARAMS) == 24);
static_assert(sizeof(CK_ECDH1_DERIVE_PARAMS) == 28);
#else
#define ORVO_EXPORT extern "C" __attribute__((visibility("default")))
#endif
