// PKCS#11 declarations of the platform (p11-kit's header) and the export attribute.
#pragma once

#include <p11-kit/pkcs11.h>

#define ORVO_EXPORT extern "C" __attribute__((visibility("default")))
