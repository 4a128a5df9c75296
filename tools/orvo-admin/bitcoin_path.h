// Derivation paths as people write them: "m/44'/0'/0'/0/7" ("h" or "H" may stand for "'"; a
// hardened index has 0x80000000 added).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvoadmin {

// Throws a usage Failure for anything else.
std::vector<uint32_t> parsePath(const std::string& text);

}  // namespace orvoadmin
