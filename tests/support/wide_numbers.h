// Numbers wider than the device's 32 bits. Where CK_ULONG has 64 bits (Linux) a caller can pass
// one, and the library must refuse it rather than cut it short; where CK_ULONG has 32 bits
// (64-bit Windows) no caller can, and the checks that need one do not apply.
#pragma once

#include "base/pkcs11.h"

namespace orvotest {

constexpr bool kWideHostNumbers = sizeof(CK_ULONG) > 4;

// The value as a host CK_ULONG; meaningful only where kWideHostNumbers holds.
constexpr CK_ULONG wide(unsigned long long value) { return static_cast<CK_ULONG>(value); }

}  // namespace orvotest

// Skips the rest of a test that is about values beyond 32 bits, where there can be none.
#define ORVO_SKIP_UNLESS_WIDE_HOST_NUMBERS()                                                \
    if (!orvotest::kWideHostNumbers) GTEST_SKIP() << "CK_ULONG has 32 bits on this platform"
