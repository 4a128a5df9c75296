#include "orvo-admin/report.h"

#include <cctype>
#include <cstdio>

#include "base/pkcs11.h"
#include "orvo/admin.h"

namespace orvoadmin {
namespace {

struct Name {
    uint64_t rv;
    const char* name;
};

// The codes a token and the library give for these commands.
const Name kNames[] = {
    {CKR_OK, "CKR_OK"},
    {CKR_SLOT_ID_INVALID, "CKR_SLOT_ID_INVALID"},
    {CKR_GENERAL_ERROR, "CKR_GENERAL_ERROR"},
    {CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED"},
    {CKR_ARGUMENTS_BAD, "CKR_ARGUMENTS_BAD"},
    {CKR_DATA_INVALID, "CKR_DATA_INVALID"},
    {CKR_DATA_LEN_RANGE, "CKR_DATA_LEN_RANGE"},
    {CKR_DEVICE_ERROR, "CKR_DEVICE_ERROR"},
    {CKR_DEVICE_MEMORY, "CKR_DEVICE_MEMORY"},
    {CKR_FUNCTION_NOT_SUPPORTED, "CKR_FUNCTION_NOT_SUPPORTED"},
    {CKR_KEY_SIZE_RANGE, "CKR_KEY_SIZE_RANGE"},
    {CKR_OPERATION_ACTIVE, "CKR_OPERATION_ACTIVE"},
    {CKR_OPERATION_NOT_INITIALIZED, "CKR_OPERATION_NOT_INITIALIZED"},
    {CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT"},
    {CKR_PIN_LEN_RANGE, "CKR_PIN_LEN_RANGE"},
    {CKR_PIN_LOCKED, "CKR_PIN_LOCKED"},
    {CKR_SESSION_HANDLE_INVALID, "CKR_SESSION_HANDLE_INVALID"},
    {CKR_SESSION_READ_ONLY, "CKR_SESSION_READ_ONLY"},
    {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT"},
    {CKR_USER_ALREADY_LOGGED_IN, "CKR_USER_ALREADY_LOGGED_IN"},
    {CKR_USER_NOT_LOGGED_IN, "CKR_USER_NOT_LOGGED_IN"},
    {CKR_USER_PIN_NOT_INITIALIZED, "CKR_USER_PIN_NOT_INITIALIZED"},
    {CKR_USER_ANOTHER_ALREADY_LOGGED_IN, "CKR_USER_ANOTHER_ALREADY_LOGGED_IN"},
    {CKR_BUFFER_TOO_SMALL, "CKR_BUFFER_TOO_SMALL"},
    {CKR_CRYPTOKI_NOT_INITIALIZED, "CKR_CRYPTOKI_NOT_INITIALIZED"},
    {ORVO_NO_BITCOIN_KEY, "no Bitcoin key on the token"},
    {ORVO_BITCOIN_KEY_EXISTS, "the token already holds a Bitcoin key"},
};

int digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = char(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

}  // namespace

std::string describe(uint64_t rv) {
    char code[24];
    std::snprintf(code, sizeof code, "0x%08llX", static_cast<unsigned long long>(rv));
    for (const Name& n : kNames)
        if (n.rv == rv) return std::string(n.name) + " (" + code + ")";
    return std::string("return code ") + code;
}

void check(uint64_t rv, const std::string& what) {
    if (rv != CKR_OK) throw Failure(what + ": " + describe(rv));
}

void emit(const Invocation& inv, const nlohmann::json& result, const std::string& text) {
    if (inv.json)
        inv.console.out << result.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    else if (!text.empty())
        inv.console.out << text << (text.back() == '\n' ? "" : "\n");
}

std::string toHex(const Bytes& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

Bytes fromHex(const std::string& text, const std::string& what) {
    std::string digits;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c))) digits += c;
    if (digits.empty() || digits.size() % 2 != 0) throw Failure(what + " must be an even number of hexadecimal digits", kUsage);
    Bytes out;
    for (size_t i = 0; i < digits.size(); i += 2) {
        int high = digit(digits[i]), low = digit(digits[i + 1]);
        if (high < 0 || low < 0) throw Failure(what + " must be hexadecimal", kUsage);
        out.push_back(uint8_t(high << 4 | low));
    }
    return out;
}

uint32_t parseNumber(const std::string& text, uint32_t max, const std::string& what) {
    size_t used = 0;
    unsigned long long value = 0;
    bool ok = !text.empty() && text[0] != '-' && text[0] != '+';
    try {
        bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        if (ok) value = std::stoull(hex ? text.substr(2) : text, &used, hex ? 16 : 10);
        if (hex) used += 2;
    } catch (const std::exception&) {
        ok = false;
    }
    if (!ok || used != text.size() || value > max)
        throw Failure(what + " must be a number from 0 to " + std::to_string(max), kUsage);
    return static_cast<uint32_t>(value);
}

}  // namespace orvoadmin
