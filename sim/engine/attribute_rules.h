// The standard's attribute rules: which attributes a template may give, the defaults of each
// object class, what C_SetAttributeValue and C_CopyObject may change, and which values are
// sensitive.
#pragma once

#include <vector>

#include "object.h"

namespace dravenholt::sim {

// How a new object comes into being; decides CKA_LOCAL and the key history attributes.
enum class Origin { Created, Generated, Unwrapped, Derived };

// Reads a template into `out`; duplicate types are CKR_TEMPLATE_INCONSISTENT.
Rv readTemplate(const std::vector<wire::Attribute>& templ, Object& out);

// Checks a template object for its class and fills in every default. `out` then holds the
// complete object except its key material, which the caller supplies or checks.
Rv completeObject(Object& obj, Origin origin, uint32_t mechanism = kUnavailable);

// Applies `changes` to `obj` under the rules of C_SetAttributeValue (copy false) or of
// C_CopyObject (copy true). `so` tells whether the security officer is logged in.
Rv applyChanges(Object& obj, const Object& changes, bool copy, bool so);

// Whether the value of `type` may be revealed.
bool isSensitive(const Object& obj, uint32_t type);

// Key history after a key was wrapped out or its value otherwise exposed is unchanged; these
// set the history of a key made from `base` (derivation) or received unwrapped.
void inheritHistory(Object& key, const Object* base);

}  // namespace dravenholt::sim
