// Debug builds hold every device call to the function table: a request that carries a field its
// function does not declare, or a call that reads a reply field its function does not declare,
// is a programming error and stops the program at once, naming function and field.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "protocol/function_ids.h"

namespace dravenholt {

inline void expectDeclared(uint32_t function, FieldSet fields, bool request) {
#ifndef NDEBUG
    const DeviceFunction* row = deviceFunction(function);
    FieldSet undeclared = row ? fields & ~(request ? row->request : row->reply) : 0;
    if (row && !undeclared) return;
    std::fprintf(stderr, "device call %s (%u): %s field %u is not declared\n", row ? row->name : "unknown",
                 function, request ? "request" : "reply", firstField(undeclared));
    std::abort();
#else
    (void)function, (void)fields, (void)request;
#endif
}

}  // namespace dravenholt
