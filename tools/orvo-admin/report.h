// What the commands share for their results and failures: the invocation, output as text or
// JSON, failures with the token's return code by name, and hexadecimal text.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "orvo-admin/cli.h"

namespace orvoadmin {

using Bytes = std::vector<uint8_t>;

struct Invocation {
    Console& console;
    uint32_t slot = 0;
    bool json = false;
    bool verify = true;         // restore: back up again and compare
    bool eraseConfirmed = false;  // factory-reset
    std::vector<std::string> words{};  // after the command's own name(s)
};

// A command that cannot go on; run() prints the message and exits with the code.
class Failure : public std::runtime_error {
public:
    explicit Failure(const std::string& message, int exitCode = kFailed)
        : std::runtime_error(message), exitCode_(exitCode) {}
    int exitCode() const { return exitCode_; }

private:
    int exitCode_;
};

// The name of a return code ("CKR_PIN_INCORRECT (0x000000A0)").
std::string describe(uint64_t rv);
// Throws Failure "<what>: <describe(rv)>" unless rv is CKR_OK.
void check(uint64_t rv, const std::string& what);

// Prints the result: the JSON document with --json, else the text.
void emit(const Invocation& inv, const nlohmann::json& result, const std::string& text);

std::string toHex(const Bytes& bytes);
// Hexadecimal digits, optionally separated by white space; throws a usage Failure otherwise.
Bytes fromHex(const std::string& text, const std::string& what);
// A number within [0, max], decimal or with 0x; throws a usage Failure otherwise.
uint32_t parseNumber(const std::string& text, uint32_t max, const std::string& what);

}  // namespace orvoadmin
