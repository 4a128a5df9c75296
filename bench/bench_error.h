// What ends a measurement: a failed call, with the return code in the message.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>

#include "base/pkcs11.h"

namespace orvo_bench {

class BenchError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline void check(CK_RV rv, const char* what) {
    if (rv == CKR_OK) return;
    char text[32];
    std::snprintf(text, sizeof text, " returned 0x%08lx", static_cast<unsigned long>(rv));
    throw BenchError(what + std::string(text));
}

}  // namespace orvo_bench
